// The reference for bench_startup: a bare Qt Widgets main window of the
// sign-in window's size, with the same three menus and no content. With
// --faces it also shows a line in each face of text the sign-in window
// shows, which tells how much of a start-up goes to loading fonts.
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QVBoxLayout>

#include <cstring>
#include <utility>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QMainWindow window;
    auto* content = new QWidget;
    content->setFixedSize(860, 570);
    window.setCentralWidget(content);
    if (argc > 1 && std::strcmp(argv[1], "--faces") == 0) {
        auto* lines = new QVBoxLayout(content);
        const std::pair<int, QFont::Weight> faces[] = {{29, QFont::DemiBold}, {25, QFont::DemiBold},
                                                       {14, QFont::DemiBold}, {14, QFont::Normal},
                                                       {13, QFont::Normal},   {12, QFont::DemiBold},
                                                       {12, QFont::Normal},   {11, QFont::DemiBold},
                                                       {11, QFont::Normal},   {10, QFont::Normal}};
        for (const auto& [size, weight] : faces) {
            QFont font;
            font.setPixelSize(size);
            font.setWeight(weight);
            auto* line = new QLabel(QStringLiteral("Sign in to Veldra Cloud Desktop"));
            line->setFont(font);
            lines->addWidget(line);
        }
    }
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
