#include "ui/ReleaseNotesView.h"

#include <QDesktopServices>
#include <QTextBlock>
#include <QTextCursor>

namespace veldra::ui {

namespace {

bool isHttps(const QUrl& url) {
    return url.isValid() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

} // namespace

QString releaseNotesForDisplay(const QString& notes) {
    const QByteArray bytes = notes.toUtf8();
    if (bytes.size() <= kMaxReleaseNotesBytes)
        return notes;
    QByteArray cut = bytes.left(kMaxReleaseNotesBytes);
    // Never half a character: back off to the start of the one cut through.
    qsizetype end = cut.size();
    while (end > 0 && (static_cast<unsigned char>(cut[end - 1]) & 0xC0) == 0x80)
        --end;
    if (end > 0 && (static_cast<unsigned char>(cut[end - 1]) & 0x80))
        --end;
    cut.truncate(end);
    return QString::fromUtf8(cut) + QStringLiteral("\u2026");
}

ReleaseNotesView::ReleaseNotesView(const QString& notes, QWidget* parent) : QTextBrowser(parent) {
    setOpenLinks(false);
    setOpenExternalLinks(false);
    setMarkdown(releaseNotesForDisplay(notes));
    // Links that are not https stay as their text.
    for (QTextBlock block = document()->begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QTextCharFormat format = fragment.charFormat();
            if (!format.isAnchor() || isHttps(QUrl(format.anchorHref())))
                continue;
            format.setAnchor(false);
            format.setAnchorHref(QString());
            format.setFontUnderline(false);
            format.clearForeground();
            QTextCursor cursor(document());
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.setCharFormat(format);
        }
    connect(this, &QTextBrowser::anchorClicked, this, [](const QUrl& url) {
        if (isHttps(url))
            QDesktopServices::openUrl(url);
    });
}

QVariant ReleaseNotesView::loadResource(int, const QUrl&) {
    // Images, style sheets: never fetched, from anywhere. An empty value, not
    // a null one: on a null one the document reads local files itself.
    return QByteArray();
}

} // namespace veldra::ui
