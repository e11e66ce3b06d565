#pragma once

#include <QString>

#include <optional>

namespace veldra {

inline constexpr qsizetype kMaxCredentialLength = 256;
inline constexpr auto kDefaultDomain = "VELDRA";

struct SplitUsername {
    QString user;
    std::optional<QString> domain;
    bool operator==(const SplitUsername&) const = default;
};

// Removes Unicode white space (line breaks included) from both ends.
QString trimWhitespace(const QString& text);

// Length in user-perceived characters (extended grapheme clusters).
qsizetype userPerceivedLength(const QString& text);

// True when any scalar is a control or format character (categories Cc, Cf).
// A lone surrogate cannot be encoded for the client and counts as one too.
bool containsControlCharacters(const QString& text);

// "DOMAIN\user" → (user, DOMAIN); "user@realm" → whole, no domain; "user" →
// (user, VELDRA). An empty part before the backslash means no domain.
SplitUsername splitUsername(const QString& text);

} // namespace veldra
