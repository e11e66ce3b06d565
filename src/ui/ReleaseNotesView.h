#pragma once

#include <QString>
#include <QTextBrowser>

namespace veldra::ui {

// At most this many bytes (UTF-8) of release notes are shown.
inline constexpr qsizetype kMaxReleaseNotesBytes = 16 * 1024;

// The notes as shown: cut after kMaxReleaseNotesBytes, on a whole character,
// with "…" at the cut.
[[nodiscard]] QString releaseNotesForDisplay(const QString& notes);

// The publisher's release notes, rendered from Markdown, read-only. Nothing
// in them reaches the network: no image or other resource is ever loaded,
// and a link opens in the user's browser only when it is https; any other
// is shown as plain text.
class ReleaseNotesView : public QTextBrowser {
    Q_OBJECT
public:
    explicit ReleaseNotesView(const QString& notes, QWidget* parent = nullptr);

protected:
    QVariant loadResource(int type, const QUrl& name) override;
};

} // namespace veldra::ui
