#include "updater/patches/BundlePatch.h"

#include "platform/InfoPlist.h"
#include "updater/patches/TreeDigest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace veldra {

namespace {

bool isAllowedMode(int mode, bool folder) {
    return mode >= 0 && mode <= 01755 && (mode & 022) == 0 && (!folder || (mode & 0700) == 0700);
}

// No file of a bundle, and no header, is larger.
constexpr qint64 kMaxFileBytes = 524'288'000;
constexpr qint64 kMaxHeaderBytes = 16'777'216;
// Nor does a whole bundle hold more.
constexpr qint64 kMaxBundleBytes = 4'294'967'296;
// A patch of a changed binary is little larger at 9 than at 19 (1.6 against
// 1.3 KB for a 15 MB executable) and forty times faster to make; a new file
// takes 19.
constexpr int kPatchLevel = 9;
constexpr int kAddLevel = 19;

PatchProblem problem(const QString& message) {
    return {message};
}

PatchProblem systemProblem(const QByteArray& path) {
    return {QFile::decodeName(path) + QStringLiteral(": ") +
            QString::fromLocal8Bit(std::strerror(errno))};
}

// Big enough to reach from the end of the file back to the start of its prefix,
// as `zstd --patch-from` chooses it.
int windowLogFor(qint64 prefixSize, qint64 size) {
    const qint64 largest = std::max<qint64>({prefixSize, size, 1});
    int log = 0;
    while ((qint64(1) << log) <= largest)
        ++log;
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    return std::clamp(log + 1, bounds.lowerBound, bounds.upperBound);
}

// A zstd frame of `content`, with `prefix` as the patch's source when given.
std::optional<QByteArray> compress(const QByteArray& content, const QByteArray* prefix) {
    std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ZSTD_CCtx* c = context.get();
    if (!c ||
        ZSTD_isError(
            ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, prefix ? kPatchLevel : kAddLevel)) ||
        ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1)))
        return std::nullopt;
    if (prefix) {
        if (ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_windowLog,
                                                windowLogFor(prefix->size(), content.size()))) ||
            ZSTD_isError(ZSTD_CCtx_setParameter(c, ZSTD_c_enableLongDistanceMatching, 1)) ||
            ZSTD_isError(
                ZSTD_CCtx_refPrefix(c, prefix->constData(), static_cast<size_t>(prefix->size()))))
            return std::nullopt;
    }
    QByteArray frame(
        static_cast<qsizetype>(ZSTD_compressBound(static_cast<size_t>(content.size()))),
        Qt::Uninitialized);
    const size_t written = ZSTD_compress2(c, frame.data(), static_cast<size_t>(frame.size()),
                                          content.constData(), static_cast<size_t>(content.size()));
    if (ZSTD_isError(written))
        return std::nullopt;
    frame.truncate(static_cast<qsizetype>(written));
    return frame;
}

// Exactly `size` bytes out of `frame`, or nothing.
std::optional<QByteArray> expand(const QByteArray& frame, const QByteArray* prefix, qint64 size) {
    std::unique_ptr<ZSTD_DCtx, size_t (*)(ZSTD_DCtx*)> context(ZSTD_createDCtx(), ZSTD_freeDCtx);
    ZSTD_DCtx* d = context.get();
    if (!d)
        return std::nullopt;
    if (prefix && ZSTD_isError(ZSTD_DCtx_refPrefix(d, prefix->constData(),
                                                   static_cast<size_t>(prefix->size()))))
        return std::nullopt;
    // One byte more than expected, so that a longer result shows.
    QByteArray content(static_cast<qsizetype>(size + 1), Qt::Uninitialized);
    const size_t written =
        ZSTD_decompressDCtx(d, content.data(), static_cast<size_t>(content.size()),
                            frame.constData(), static_cast<size_t>(frame.size()));
    if (ZSTD_isError(written) || static_cast<qint64>(written) != size)
        return std::nullopt;
    content.truncate(static_cast<qsizetype>(size));
    return content;
}

std::optional<QByteArray> readWhole(const QByteArray& path) {
    QFile file(QFile::decodeName(path));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxFileBytes)
        return std::nullopt;
    QByteArray content = file.readAll();
    if (content.size() != file.size())
        return std::nullopt;
    return content;
}

bool isRegularFile(const QByteArray& path) {
    struct stat info;
    return ::lstat(path.constData(), &info) == 0 && S_ISREG(info.st_mode);
}

// --- writing ---

using ArchiveWriter = std::unique_ptr<archive, int (*)(archive*)>;

bool writeMember(archive* a, const QString& name, const QByteArray& content) {
    std::unique_ptr<archive_entry, void (*)(archive_entry*)> entry(archive_entry_new(),
                                                                   archive_entry_free);
    archive_entry_set_pathname(entry.get(), name.toUtf8().constData());
    archive_entry_set_size(entry.get(), content.size());
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0644);
    if (archive_write_header(a, entry.get()) != ARCHIVE_OK)
        return false;
    return content.isEmpty() ||
           archive_write_data(a, content.constData(), static_cast<size_t>(content.size())) ==
               content.size();
}

QString typeName(char type) {
    switch (type) {
    case 'f':
        return QStringLiteral("file");
    case 'l':
        return QStringLiteral("link");
    default:
        return QStringLiteral("dir");
    }
}

QJsonObject headerJson(const PatchHeader& header) {
    return {{QStringLiteral("format"), 1},
            {QStringLiteral("from_version"), header.fromVersion},
            {QStringLiteral("to_version"), header.toVersion},
            {QStringLiteral("source_tree"), header.sourceTree},
            {QStringLiteral("result_tree"), header.resultTree},
            {QStringLiteral("root_mode"), static_cast<int>(header.rootMode)}};
}

std::variant<QString, PatchProblem> bundleVersion(const QString& app) {
    const auto version =
        platform::infoPlistString(app, QStringLiteral("CFBundleShortVersionString"));
    if (!version || version->isEmpty())
        return problem(QStringLiteral("%1 has no CFBundleShortVersionString.").arg(app));
    return *version;
}

std::variant<QString, PatchProblem> digestOf(const QString& app) {
    auto digest = treeDigest(app);
    if (auto* failure = std::get_if<TreeProblem>(&digest))
        return problem(failure->message);
    return std::get<QString>(digest);
}

} // namespace

std::variant<PatchHeader, PatchProblem>
makeBundlePatch(const QString& oldApp, const QString& newApp, const QString& output) {
    PatchHeader header;
    for (auto [app, version, tree] : {std::tuple{&oldApp, &header.fromVersion, &header.sourceTree},
                                      std::tuple{&newApp, &header.toVersion, &header.resultTree}}) {
        auto read = bundleVersion(*app);
        if (auto* failure = std::get_if<PatchProblem>(&read))
            return *failure;
        *version = std::get<QString>(read);
        auto digest = digestOf(*app);
        if (auto* failure = std::get_if<PatchProblem>(&digest))
            return *failure;
        *tree = std::get<QString>(digest);
    }
    struct stat rootInfo;
    if (::stat(QFile::encodeName(newApp).constData(), &rootInfo) != 0)
        return systemProblem(QFile::encodeName(newApp));
    header.rootMode = rootInfo.st_mode & 07777;
    // Every client refuses a patch whose listing asks for such a mode (and
    // then downloads the image): say so here, where it can be mended.
    const auto refusedMode = [&](const QString& path, unsigned mode) {
        return problem(QStringLiteral("%1 has mode %2, which clients refuse (group- or "
                                      "world-writable, set-ID, or a folder its owner cannot "
                                      "enter): build it with files 0644, executables and "
                                      "folders 0755.")
                           .arg(path.isEmpty() ? newApp : newApp + QLatin1Char('/') + path,
                                QString::number(mode, 8).rightJustified(4, QLatin1Char('0'))));
    };
    if (!isAllowedMode(static_cast<int>(header.rootMode), true))
        return refusedMode(QString(), header.rootMode);
    auto oldEntries = treeEntries(oldApp);
    auto newEntries = treeEntries(newApp);
    for (auto* listed : {&oldEntries, &newEntries})
        if (auto* failure = std::get_if<TreeProblem>(listed))
            return problem(failure->message);

    QJsonArray entries;
    QList<QByteArray> frames;
    QSet<QByteArray> inNewBundle;
    const QByteArray oldRoot = QFile::encodeName(oldApp);
    const QByteArray newRoot = QFile::encodeName(newApp);
    for (const TreeEntry& entry : std::get<std::vector<TreeEntry>>(newEntries)) {
        const QString path = QString::fromUtf8(entry.path);
        if (path.toUtf8() != entry.path)
            return problem(QStringLiteral("A name in %1 is not UTF-8.").arg(newApp));
        QJsonObject item{{QStringLiteral("path"), path},
                         {QStringLiteral("type"), typeName(entry.type)}};
        if (entry.type == 'l') {
            item.insert(QStringLiteral("target"), QString::fromUtf8(entry.linkTarget));
            if (QString::fromUtf8(entry.linkTarget).toUtf8() != entry.linkTarget)
                return problem(QStringLiteral("A link in %1 is not UTF-8.").arg(newApp));
        } else if (!isAllowedMode(static_cast<int>(entry.mode), entry.type == 'd')) {
            return refusedMode(path, entry.mode);
        } else {
            item.insert(QStringLiteral("mode"), static_cast<int>(entry.mode));
        }
        inNewBundle.insert(entry.path);
        if (entry.type == 'f') {
            const auto content = readWhole(newRoot + '/' + entry.path);
            if (!content)
                return systemProblem(newRoot + '/' + entry.path);
            item.insert(QStringLiteral("size"), static_cast<qint64>(content->size()));
            const QByteArray before = oldRoot + '/' + entry.path;
            const auto previous = isRegularFile(before) ? readWhole(before) : std::nullopt;
            if (previous && *previous == *content) {
                item.insert(QStringLiteral("how"), QStringLiteral("keep"));
                ++header.kept;
            } else {
                // Whichever is smaller: the patch, or the file on its own
                // (not tried when the patch is small anyway).
                auto patch = previous ? compress(*content, &*previous) : std::nullopt;
                auto frame = patch && patch->size() < content->size() / 8
                                 ? std::nullopt
                                 : compress(*content, nullptr);
                if (!patch && !frame)
                    return problem(QStringLiteral("zstd could not compress %1.").arg(path));
                const bool patched = patch && (!frame || patch->size() < frame->size());
                item.insert(QStringLiteral("how"),
                            patched ? QStringLiteral("patch") : QStringLiteral("add"));
                item.insert(QStringLiteral("data"), QStringLiteral("data/%1").arg(frames.size()));
                frames << (patched ? *patch : *frame);
                ++(patched ? header.patched : header.added);
            }
        }
        entries.append(item);
    }
    for (const TreeEntry& entry : std::get<std::vector<TreeEntry>>(oldEntries))
        header.removed += inNewBundle.contains(entry.path) ? 0 : 1;

    QJsonObject json = headerJson(header);
    json.insert(QStringLiteral("entries"), entries);
    ArchiveWriter writer(archive_write_new(), archive_write_free);
    archive* a = writer.get();
    bool written =
        a && archive_write_set_format_pax_restricted(a) == ARCHIVE_OK &&
        archive_write_open_filename(a, QFile::encodeName(output).constData()) == ARCHIVE_OK &&
        writeMember(a, QLatin1String(kPatchHeaderName),
                    QJsonDocument(json).toJson(QJsonDocument::Compact));
    for (qsizetype i = 0; written && i < frames.size(); ++i)
        written = writeMember(a, QStringLiteral("data/%1").arg(i), frames[i]);
    written = written && archive_write_close(a) == ARCHIVE_OK;
    if (!written) {
        const QString reason = a ? QString::fromUtf8(archive_error_string(a)) : QString();
        writer.reset();
        QFile::remove(output);
        return problem(
            QStringLiteral("The patch could not be written to %1: %2").arg(output, reason));
    }
    return header;
}

// --- reading ---

namespace {

using ArchiveReader = std::unique_ptr<archive, int (*)(archive*)>;

struct Member {
    QString name;
    QByteArray content;
};

std::optional<ArchiveReader> openPatch(const QString& patch) {
    ArchiveReader reader(archive_read_new(), archive_read_free);
    if (!reader || archive_read_support_format_tar(reader.get()) != ARCHIVE_OK ||
        archive_read_open_filename(reader.get(), QFile::encodeName(patch).constData(), 65'536) !=
            ARCHIVE_OK)
        return std::nullopt;
    return reader;
}

// The next regular member, read whole if it has at most `limit` bytes.
std::optional<Member> nextMember(archive* a, qint64 limit) {
    archive_entry* entry = nullptr;
    if (archive_read_next_header(a, &entry) != ARCHIVE_OK ||
        archive_entry_filetype(entry) != AE_IFREG || !archive_entry_size_is_set(entry))
        return std::nullopt;
    const qint64 size = archive_entry_size(entry);
    if (size < 0 || size > limit)
        return std::nullopt;
    Member member{QString::fromUtf8(archive_entry_pathname(entry)),
                  QByteArray(static_cast<qsizetype>(size), Qt::Uninitialized)};
    qint64 done = 0;
    while (done < size) {
        const la_ssize_t got =
            archive_read_data(a, member.content.data() + done, static_cast<size_t>(size - done));
        if (got <= 0)
            return std::nullopt;
        done += got;
    }
    return member;
}

struct PlannedEntry {
    QByteArray path;
    char type = 'd';
    unsigned mode = 0;
    QByteArray target;
    QString how;
    qint64 size = 0;
    QString data;
};

bool isSafeRelativePath(const QByteArray& path) {
    if (path.isEmpty() || path.startsWith('/') || path.contains('\0') || path.contains('\n'))
        return false;
    for (const QByteArray& part : path.split('/'))
        if (part.isEmpty() || part == "." || part == "..")
            return false;
    return true;
}

struct Plan {
    PatchHeader header;
    std::vector<PlannedEntry> entries;
};

// The header and its listing, every path checked: relative, without "." or
// "..", listed once, inside a folder listed before it.
std::variant<Plan, PatchProblem> readPlan(const QByteArray& bytes) {
    const PatchProblem bad = problem(QStringLiteral("The patch's header is not readable."));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return bad;
    const QJsonObject json = document.object();
    if (json.value(QStringLiteral("format")).toInt() != 1)
        return problem(QStringLiteral("The patch is of a format this version cannot read."));
    Plan plan;
    plan.header.fromVersion = json.value(QStringLiteral("from_version")).toString();
    plan.header.toVersion = json.value(QStringLiteral("to_version")).toString();
    plan.header.sourceTree = json.value(QStringLiteral("source_tree")).toString();
    plan.header.resultTree = json.value(QStringLiteral("result_tree")).toString();
    plan.header.rootMode =
        static_cast<unsigned>(json.value(QStringLiteral("root_mode")).toInt(0755));
    if (!json.value(QStringLiteral("entries")).isArray())
        return bad;
    QSet<QByteArray> folders;
    QSet<QByteArray> seen;
    QSet<QString> data;
    qint64 total = 0;
    for (const QJsonValue& value : json.value(QStringLiteral("entries")).toArray()) {
        const QJsonObject item = value.toObject();
        PlannedEntry entry;
        entry.path = item.value(QStringLiteral("path")).toString().toUtf8();
        const QString type = item.value(QStringLiteral("type")).toString();
        entry.type = type == QLatin1String("file")   ? 'f'
                     : type == QLatin1String("link") ? 'l'
                                                     : 'd';
        const int mode = item.value(QStringLiteral("mode")).toInt(-1);
        entry.mode = static_cast<unsigned>(mode);
        entry.target = item.value(QStringLiteral("target")).toString().toUtf8();
        entry.how = item.value(QStringLiteral("how")).toString();
        entry.size = item.value(QStringLiteral("size")).toInteger(-1);
        entry.data = item.value(QStringLiteral("data")).toString();
        const qsizetype slash = entry.path.lastIndexOf('/');
        const QByteArray parent = slash < 0 ? QByteArray() : entry.path.left(slash);
        const bool placed = isSafeRelativePath(entry.path) && !seen.contains(entry.path) &&
                            (parent.isEmpty() || folders.contains(parent));
        const bool known = type == QLatin1String("dir") || type == QLatin1String("file") ||
                           type == QLatin1String("link");
        total += std::max<qint64>(entry.size, 0);
        // Never set-user or set-group ID, group or world write, nor a folder
        // its owner cannot enter and write: nothing of ours is such, and what
        // root installs must be writable by root alone.
        const bool described =
            entry.type == 'l'
                ? !entry.target.isEmpty()
                : isAllowedMode(mode, entry.type == 'd') && total <= kMaxBundleBytes &&
                      (entry.type == 'd' ||
                       (entry.size >= 0 && entry.size <= kMaxFileBytes &&
                        (entry.how == QLatin1String("keep") ||
                         ((entry.how == QLatin1String("patch") ||
                           entry.how == QLatin1String("add")) &&
                          !entry.data.isEmpty() && !data.contains(entry.data)))));
        if (!placed || !known || !described)
            return problem(QStringLiteral("The patch lists an entry it may not: %1")
                               .arg(QString::fromUtf8(entry.path)));
        seen.insert(entry.path);
        if (entry.type == 'd')
            folders.insert(entry.path);
        if (!entry.data.isEmpty())
            data.insert(entry.data);
        plan.entries.push_back(std::move(entry));
    }
    if (!isAllowedMode(static_cast<int>(plan.header.rootMode), true))
        return bad;
    return plan;
}

bool writeFile(const QByteArray& path, const char* bytes, qint64 size, unsigned mode) {
    const int fd =
        ::open(path.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    qint64 done = 0;
    while (done < size) {
        const ssize_t wrote = ::write(fd, bytes + done, static_cast<size_t>(size - done));
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote <= 0) {
            ::close(fd);
            return false;
        }
        done += wrote;
    }
    const bool moded = ::fchmod(fd, static_cast<mode_t>(mode)) == 0;
    return ::close(fd) == 0 && moded;
}

} // namespace

std::variant<PatchHeader, PatchProblem> readPatchHeader(const QString& patch) {
    auto reader = openPatch(patch);
    if (!reader)
        return problem(QStringLiteral("%1 is not a patch.").arg(patch));
    const auto member = nextMember(reader->get(), kMaxHeaderBytes);
    if (!member || member->name != QLatin1String(kPatchHeaderName))
        return problem(QStringLiteral("%1 is not a patch.").arg(patch));
    auto plan = readPlan(member->content);
    if (auto* failure = std::get_if<PatchProblem>(&plan))
        return *failure;
    return std::get<Plan>(plan).header;
}

std::variant<PatchHeader, PatchProblem> applyBundlePatch(const QString& patch,
                                                         const QString& installed,
                                                         const QString& destination,
                                                         const std::atomic<bool>* abandoned) {
    auto reader = openPatch(patch);
    if (!reader)
        return problem(QStringLiteral("The patch cannot be opened."));
    archive* a = reader->get();
    const auto headerMember = nextMember(a, kMaxHeaderBytes);
    if (!headerMember || headerMember->name != QLatin1String(kPatchHeaderName))
        return problem(QStringLiteral("The patch has no header."));
    auto planned = readPlan(headerMember->content);
    if (auto* failure = std::get_if<PatchProblem>(&planned))
        return *failure;
    const Plan& plan = std::get<Plan>(planned);
    auto before = digestOf(installed);
    if (auto* failure = std::get_if<PatchProblem>(&before))
        return *failure;
    if (std::get<QString>(before) != plan.header.sourceTree)
        return problem(
            QStringLiteral("The installed application is not the one the patch is for."));

    const QByteArray root = QFile::encodeName(destination);
    const QByteArray source = QFile::encodeName(installed);
    if (::mkdir(root.constData(), 0700) != 0)
        return systemProblem(root);
    const auto fail = [&](PatchProblem failure) -> std::variant<PatchHeader, PatchProblem> {
        removeBundleCopy(destination);
        return failure;
    };
    for (const PlannedEntry& entry : plan.entries) {
        if (abandoned && abandoned->load())
            return fail(problem(QStringLiteral("The application is quitting.")));
        const QByteArray path = root + '/' + entry.path;
        if (entry.type == 'd') {
            if (::mkdir(path.constData(), 0700) != 0)
                return fail(systemProblem(path));
            continue;
        }
        if (entry.type != 'f')
            continue;
        std::optional<QByteArray> previous;
        if (entry.how != QLatin1String("add")) {
            const QByteArray original = source + '/' + entry.path;
            previous = isRegularFile(original) ? readWhole(original) : std::nullopt;
            if (!previous)
                return fail(problem(QStringLiteral("The installed application lacks %1.")
                                        .arg(QString::fromUtf8(entry.path))));
        }
        std::optional<QByteArray> content = previous;
        if (entry.how != QLatin1String("keep")) {
            const auto member = nextMember(a, kMaxFileBytes);
            if (!member || member->name != entry.data)
                return fail(problem(QStringLiteral("The patch is incomplete.")));
            content =
                expand(member->content, entry.how == QLatin1String("patch") ? &*previous : nullptr,
                       entry.size);
            if (!content)
                return fail(problem(QStringLiteral("The patch for %1 does not apply.")
                                        .arg(QString::fromUtf8(entry.path))));
        }
        if (content->size() != entry.size ||
            !writeFile(path, content->constData(), entry.size, entry.mode))
            return fail(systemProblem(path));
    }
    // Links last, so that nothing is ever written through one; folders' own
    // modes last of all, the deepest first.
    for (const PlannedEntry& entry : plan.entries)
        if (entry.type == 'l' &&
            ::symlink(entry.target.constData(), (root + '/' + entry.path).constData()) != 0)
            return fail(systemProblem(root + '/' + entry.path));
    for (auto entry = plan.entries.rbegin(); entry != plan.entries.rend(); ++entry)
        if (entry->type == 'd' && ::chmod((root + '/' + entry->path).constData(), entry->mode) != 0)
            return fail(systemProblem(root + '/' + entry->path));
    if (::chmod(root.constData(), plan.header.rootMode) != 0)
        return fail(systemProblem(root));
    auto after = digestOf(destination);
    if (auto* failure = std::get_if<PatchProblem>(&after))
        return fail(*failure);
    if (std::get<QString>(after) != plan.header.resultTree)
        return fail(problem(QStringLiteral("The patched application is not the new version.")));
    return plan.header;
}

void removeBundleCopy(const QString& path) {
    // Only a folder of ours: never through a link to one elsewhere.
    struct stat info;
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        return;
    // Folders made read-only are opened again first, so that their contents go too.
    auto entries = treeEntries(path);
    if (auto* found = std::get_if<std::vector<TreeEntry>>(&entries))
        for (const TreeEntry& entry : *found)
            if (entry.type == 'd')
                QFile::setPermissions(path + QLatin1Char('/') + QFile::decodeName(entry.path),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QDir(path).removeRecursively();
}

} // namespace veldra
