#include "platform/ExecutableArchitectures.h"

#include <QFile>
#include <QtEndian>

namespace veldra::platform {

namespace {

// <mach-o/loader.h>, <mach-o/fat.h> and <mach/machine.h> are not on Linux,
// so the few values we need are spelled out here.
constexpr quint32 kMachMagic64 = 0xfeedfacf;
constexpr quint32 kMachCigam64 = 0xcffaedfe;
constexpr qsizetype kMachHeader64Size = 32;
constexpr quint32 kFatMagic = 0xcafebabe;
constexpr quint32 kFatMagic64 = 0xcafebabf;
constexpr qsizetype kFatHeaderSize = 8;
constexpr qsizetype kFatArchSize = 20;
constexpr qsizetype kFatArch64Size = 32;
// Far more slices than any real universal binary has. It also turns away
// most Java class files, which share 0xcafebabe and whose version numbers
// land where nfat_arch would be.
constexpr quint32 kMaxFatArchitectures = 64;
// lipo never aligns a slice beyond 2^15 (MAXSECTALIGN).
constexpr quint32 kMaxFatAlignment = 15;
constexpr quint32 kCpuTypeX86_64 = 0x01000007; // CPU_ARCH_ABI64 | CPU_TYPE_X86
constexpr quint32 kCpuTypeArm64 = 0x0100000c;  // CPU_ARCH_ABI64 | CPU_TYPE_ARM

template <typename T> T bigEndianAt(const QByteArray& bytes, qsizetype offset) {
    return qFromBigEndian<T>(bytes.constData() + offset);
}

template <typename T> T littleEndianAt(const QByteArray& bytes, qsizetype offset) {
    return qFromLittleEndian<T>(bytes.constData() + offset);
}

// Exact matches only: masking off the ABI bits would take i386 for x86_64
// and arm64_32 (a watchOS type) for arm64.
std::optional<Architecture> architectureOfCpuType(quint32 cpuType) {
    switch (cpuType) {
    case kCpuTypeX86_64:
        return Architecture::x86_64;
    case kCpuTypeArm64:
        return Architecture::arm64;
    default:
        return std::nullopt;
    }
}

QList<Architecture> fatArchitectures(const QByteArray& head, bool fat64) {
    if (head.size() < kFatHeaderSize)
        return {};
    const auto count = bigEndianAt<quint32>(head, 4);
    const qsizetype entrySize = fat64 ? kFatArch64Size : kFatArchSize;
    if (count > kMaxFatArchitectures)
        return {};
    const qsizetype tableEnd = kFatHeaderSize + qsizetype(count) * entrySize;
    if (tableEnd > head.size())
        return {};
    QList<Architecture> architectures;
    for (qsizetype entry = kFatHeaderSize; entry < tableEnd; entry += entrySize) {
        // fat_arch: cputype, cpusubtype, offset, size, align (all 32-bit);
        // fat_arch_64 widens offset and size to 64 bits.
        const auto cpuType = bigEndianAt<quint32>(head, entry);
        const quint64 offset =
            fat64 ? bigEndianAt<quint64>(head, entry + 8) : bigEndianAt<quint32>(head, entry + 8);
        const quint64 size =
            fat64 ? bigEndianAt<quint64>(head, entry + 16) : bigEndianAt<quint32>(head, entry + 12);
        const auto align = bigEndianAt<quint32>(head, entry + (fat64 ? 24 : 16));
        // A slice lies past the table, on its own alignment, as lipo lays it
        // out. Checking this keeps a Java class file whose table happens to
        // fit from passing constant-pool bytes off as slices.
        if (align > kMaxFatAlignment || offset < quint64(tableEnd) || size == 0 ||
            offset % (quint64(1) << align) != 0)
            return {};
        if (const auto architecture = architectureOfCpuType(cpuType);
            architecture && !architectures.contains(*architecture))
            architectures.append(*architecture);
    }
    return architectures;
}

QList<Architecture> thinArchitectures(const QByteArray& head, bool swapped) {
    if (head.size() < kMachHeader64Size)
        return {};
    const auto cpuType = swapped ? bigEndianAt<quint32>(head, 4) : littleEndianAt<quint32>(head, 4);
    if (const auto architecture = architectureOfCpuType(cpuType))
        return {*architecture};
    return {};
}

#if !defined(__APPLE__)
QList<Architecture> elfArchitectures(const QByteArray& head) {
    constexpr qsizetype kElf64HeaderSize = 64;
    constexpr char kElfClass64 = 2;
    constexpr char kElfDataLittle = 1;
    constexpr char kElfDataBig = 2;
    constexpr quint16 kEmX86_64 = 62;
    constexpr quint16 kEmAarch64 = 183;
    // Both our architectures are 64-bit; ELFCLASS32 with EM_X86_64 is x32.
    if (head.size() < kElf64HeaderSize || head.at(4) != kElfClass64)
        return {};
    const char data = head.at(5);
    if (data != kElfDataLittle && data != kElfDataBig)
        return {};
    const auto machine =
        data == kElfDataLittle ? littleEndianAt<quint16>(head, 18) : bigEndianAt<quint16>(head, 18);
    if (machine == kEmX86_64)
        return {Architecture::x86_64};
    if (machine == kEmAarch64)
        return {Architecture::arm64};
    return {};
}
#endif

} // namespace

QList<Architecture> executableArchitectures(const QByteArray& head) {
    if (head.size() < 4)
        return {};
    if (head.startsWith("\x7f"
                        "ELF")) {
#if !defined(__APPLE__)
        return elfArchitectures(head);
#else
        return {};
#endif
    }
    switch (bigEndianAt<quint32>(head, 0)) {
    case kFatMagic:
        return fatArchitectures(head, false);
    case kFatMagic64:
        return fatArchitectures(head, true);
    default:
        break;
    }
    // A thin header is written in its CPU's byte order, little-endian for both
    // of ours; a big-endian one reads back as MH_CIGAM_64.
    switch (littleEndianAt<quint32>(head, 0)) {
    case kMachMagic64:
        return thinArchitectures(head, false);
    case kMachCigam64:
        return thinArchitectures(head, true);
    default:
        return {};
    }
}

std::optional<QList<Architecture>> executableArchitecturesOfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray head = file.read(kExecutableHeadSize);
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    return executableArchitectures(head);
}

} // namespace veldra::platform
