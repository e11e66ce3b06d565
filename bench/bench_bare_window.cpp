// The reference for bench_startup: a bare Qt Widgets main window of the
// sign-in window's size, with the same three menus and no content.
#include <QApplication>
#include <QMainWindow>
#include <QMenuBar>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QMainWindow window;
    auto* content = new QWidget;
    content->setFixedSize(860, 570);
    window.setCentralWidget(content);
    window.setWindowTitle(QStringLiteral("Veldra Cloud Desktop"));
    QMenu* appMenu = window.menuBar()->addMenu(QStringLiteral("Veldra Cloud Desktop"));
    for (const char* item :
         {"About Veldra Cloud Desktop", "Check for Updates...", "Hide Veldra Cloud Desktop",
          "Hide Others", "Show All", "Quit Veldra Cloud Desktop"})
        appMenu->addAction(QString::fromLatin1(item));
    QMenu* edit = window.menuBar()->addMenu(QStringLiteral("Edit"));
    for (const char* item : {"Undo", "Redo", "Cut", "Copy", "Paste", "Select All"})
        edit->addAction(QString::fromLatin1(item));
    QMenu* windowMenu = window.menuBar()->addMenu(QStringLiteral("Window"));
    for (const char* item : {"Minimize", "Zoom", "Close Window"})
        windowMenu->addAction(QString::fromLatin1(item));
    window.setFixedSize(window.sizeHint());
    window.show();
    return QApplication::exec();
}
