#pragma once

#include <QByteArray>
#include <QString>

#include <variant>
#include <vector>

namespace veldra {

// A bundle's contents as one SHA-256: over the sorted listing of every entry
// below `root` (not `root` itself), one line each:
//   "<d|f|l> <mode, 4 octal digits> <SHA-256 of the content, or -> <path>\n"
// A file's content is its bytes, a link's is its target (its mode is written
// 0000: links have none that survives a copy); a directory has none. Paths are
// relative, '/'-separated and sorted bytewise. A name with a newline or an entry
// of another type (a socket, a device) has no digest.
struct TreeProblem {
    QString message;
};
[[nodiscard]] std::variant<QString, TreeProblem> treeDigest(const QString& root);

// One entry of a tree, as lstat sees it.
struct TreeEntry {
    QByteArray path; // relative to the root
    char type = 'd'; // 'd', 'f' or 'l'
    unsigned mode = 0;
    QByteArray linkTarget; // for 'l'
};
// Every entry below `root`, sorted bytewise by path (so a folder comes before
// what it holds).
[[nodiscard]] std::variant<std::vector<TreeEntry>, TreeProblem> treeEntries(const QString& root);

// The listing the digest is taken over.
[[nodiscard]] std::variant<QByteArray, TreeProblem> treeListing(const QString& root);

} // namespace veldra
