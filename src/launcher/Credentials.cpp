#include "launcher/Credentials.h"

#include <QStringView>
#include <QTextBoundaryFinder>

namespace veldra {

QString trimWhitespace(const QString& text) {
    // QChar::isSpace is exactly Unicode White_Space: tabs, line and paragraph
    // separators, NEL and the Zs spaces.
    return text.trimmed();
}

qsizetype userPerceivedLength(const QString& text) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

bool containsControlCharacters(const QString& text) {
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        char32_t scalar = c.unicode();
        if (c.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate()) {
            scalar = QChar::surrogateToUcs4(c, text.at(i + 1));
            ++i;
        } else if (c.isSurrogate()) {
            return true;
        }
        const auto category = QChar::category(scalar);
        if (category == QChar::Other_Control || category == QChar::Other_Format)
            return true;
    }
    return false;
}

SplitUsername splitUsername(const QString& text) {
    const qsizetype backslash = text.indexOf(QLatin1Char('\\'));
    if (backslash >= 0) {
        const QString domain = text.left(backslash);
        return {text.mid(backslash + 1),
                domain.isEmpty() ? std::nullopt : std::optional<QString>(domain)};
    }
    if (text.contains(QLatin1Char('@')))
        return {text, std::nullopt};
    return {text, QString::fromLatin1(kDefaultDomain)};
}

} // namespace veldra
