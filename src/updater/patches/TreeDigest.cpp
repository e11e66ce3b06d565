#include "updater/patches/TreeDigest.h"

#include "updater/fetching/Sha256.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace veldra {

namespace {

TreeProblem unreadable(const QByteArray& path) {
    return {QString::fromLocal8Bit(path) + QStringLiteral(": ") +
            QString::fromLocal8Bit(std::strerror(errno))};
}

} // namespace

std::variant<std::vector<TreeEntry>, TreeProblem> treeEntries(const QString& rootPath) {
    const QByteArray root = QFile::encodeName(rootPath);
    std::vector<TreeEntry> found;
    std::vector<QByteArray> pending{QByteArray()};
    while (!pending.empty()) {
        const QByteArray relative = pending.back();
        pending.pop_back();
        const QByteArray directory = relative.isEmpty() ? root : root + '/' + relative;
        std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(directory.constData()), ::closedir);
        if (!handle)
            return unreadable(directory);
        while (const dirent* item = ::readdir(handle.get())) {
            const QByteArray name(item->d_name);
            if (name == "." || name == "..")
                continue;
            TreeEntry entry;
            entry.path = relative.isEmpty() ? name : relative + '/' + name;
            const QByteArray full = root + '/' + entry.path;
            if (entry.path.contains('\n'))
                return TreeProblem{QStringLiteral("A name holds a line break: ") +
                                   QString::fromLocal8Bit(full)};
            struct stat info;
            if (::lstat(full.constData(), &info) != 0)
                return unreadable(full);
            entry.mode = info.st_mode & 07777;
            if (S_ISDIR(info.st_mode)) {
                pending.push_back(entry.path);
            } else if (S_ISREG(info.st_mode)) {
                entry.type = 'f';
            } else if (S_ISLNK(info.st_mode)) {
                entry.type = 'l';
                QByteArray target(static_cast<qsizetype>(info.st_size) + 1, '\0');
                const ssize_t length =
                    ::readlink(full.constData(), target.data(), static_cast<size_t>(target.size()));
                if (length < 0 || length >= target.size())
                    return unreadable(full);
                target.truncate(length);
                entry.linkTarget = target;
            } else {
                return TreeProblem{QStringLiteral("Neither a file, a folder nor a link: ") +
                                   QString::fromLocal8Bit(full)};
            }
            found.push_back(std::move(entry));
        }
    }
    std::sort(found.begin(), found.end(),
              [](const TreeEntry& a, const TreeEntry& b) { return a.path < b.path; });
    return found;
}

std::variant<QByteArray, TreeProblem> treeListing(const QString& root) {
    auto entries = treeEntries(root);
    if (auto* problem = std::get_if<TreeProblem>(&entries))
        return *problem;
    QByteArray listing;
    for (const TreeEntry& entry : std::get<std::vector<TreeEntry>>(entries)) {
        unsigned mode = entry.mode;
        QByteArray content = "-";
        if (entry.type == 'f') {
            const auto digest = sha256Hex(root + QLatin1Char('/') + QFile::decodeName(entry.path));
            if (const auto* error = std::get_if<platform::SystemError>(&digest))
                return TreeProblem{error->message};
            content = std::get<QString>(digest).toLatin1();
        } else if (entry.type == 'l') {
            mode = 0;
            content = sha256HexOfBytes(entry.linkTarget).toLatin1();
        }
        listing += entry.type;
        listing += ' ' + QByteArray::number(mode, 8).rightJustified(4, '0') + ' ' + content + ' ' +
                   entry.path + '\n';
    }
    return listing;
}

std::variant<QString, TreeProblem> treeDigest(const QString& root) {
    auto listing = treeListing(root);
    if (auto* problem = std::get_if<TreeProblem>(&listing))
        return *problem;
    return sha256HexOfBytes(std::get<QByteArray>(listing));
}

} // namespace veldra
