#include "launcher/RdpLauncher.h"
#include "updater/MacUpdater.h"

#include <QApplication>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

using namespace veldra;

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Veldra Cloud Desktop"));

    QWidget window;
    window.setWindowTitle(QStringLiteral("Veldra Cloud Desktop"));
    window.setFixedSize(860, 570);

    auto* username = new QLineEdit;
    auto* password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    auto* connectButton = new QPushButton(QStringLiteral("Connect"));
    auto* status = new QLabel;
    status->setWordWrap(true);
    // Creating the updater arms its first check and lets the launcher see downloads.
    auto& updater = MacUpdater::shared();
    auto* updateStatus = new QLabel;
    QObject::connect(&updater, &MacUpdater::statusMessageChanged, updateStatus,
                     [&] { updateStatus->setText(updater.statusMessage()); });

    auto* form = new QFormLayout(&window);
    form->addRow(QStringLiteral("Username"), username);
    form->addRow(QStringLiteral("Password"), password);
    form->addRow(connectButton);
    form->addRow(status);
    form->addRow(updateStatus);

    const auto connectNow = [&] {
        connectButton->setEnabled(false);
        status->setText(QStringLiteral("Connecting…"));
        RdpLauncher::shared().connect(
            username->text().trimmed(), password->text(), [&](const LaunchOutcome& outcome) {
                connectButton->setEnabled(true);
                if (outcome.succeeded()) {
                    password->clear();
                    status->clear();
                } else {
                    status->setText(QStringLiteral("Connection failed: ") +
                                    outcome.errorDescription());
                }
            });
    };
    QObject::connect(connectButton, &QPushButton::clicked, connectNow);
    QObject::connect(password, &QLineEdit::returnPressed, connectNow);

    window.show();
    return QApplication::exec();
}
