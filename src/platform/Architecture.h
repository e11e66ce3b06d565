#pragma once

namespace veldra::platform {

// The processor family this build's code is compiled for, as the compiler
// targets it (never a setting that could disagree with the code).
enum class Architecture { x86_64, arm64 };

inline constexpr Architecture kBuildArchitecture =
#if defined(__x86_64__) || defined(_M_X64)
    Architecture::x86_64;
#elif defined(__aarch64__) || defined(__arm64__) || defined(_M_ARM64)
    Architecture::arm64;
#else
#error "Veldra Cloud Desktop is built for x86-64 or arm64 only"
#endif

// The architecture's name as lipo knows it.
constexpr const char* lipoArchitectureName(Architecture architecture) {
    return architecture == Architecture::arm64 ? "arm64" : "x86_64";
}

// How this copy runs: natively as built, or as an x86-64 build translated on
// an Apple silicon Mac. A translated copy updates to the native build when
// one is offered.
enum class RunningCopy { x86_64, arm64, translated };

constexpr RunningCopy nativeCopy(Architecture architecture) {
    return architecture == Architecture::arm64 ? RunningCopy::arm64 : RunningCopy::x86_64;
}
inline constexpr RunningCopy kBuildCopy = nativeCopy(kBuildArchitecture);

// Asks the system whether this process runs translated (macOS's
// sysctl.proc_translated; never on other systems).
[[nodiscard]] RunningCopy runningCopy();

// The processor label of the sign-in view's header.
constexpr const char* processorLabel(Architecture architecture) {
    return architecture == Architecture::arm64 ? "Apple silicon Mac" : "Intel Mac";
}

} // namespace veldra::platform
