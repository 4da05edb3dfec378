// Where a reliability test runs: the build's sanitizer and an emulated target run shorter
// scenarios, and LOGCOMP_REL_SCALE stretches or shrinks every bounded loop of these tests.
#pragma once

#include <cstdlib>
#include <string>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define REL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define REL_SANITIZED 1
#endif
#endif
#ifndef REL_SANITIZED
#define REL_SANITIZED 0
#endif

#if defined(__SANITIZE_THREAD__)
#define REL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define REL_TSAN 1
#endif
#endif
#ifndef REL_TSAN
#define REL_TSAN 0
#endif

namespace rel {

// Set by the cross build's test runner (qemu user-mode emulation).
inline bool Emulated() {
    return std::getenv("LOGCOMP_EMULATED") != nullptr;
}

inline const char* BuildKind() {
    if (Emulated()) return "emulated";
    if (REL_TSAN) return "tsan";
    if (REL_SANITIZED) return "asan";
    return "plain";
}

// Picks the figure for this build, times LOGCOMP_REL_SCALE (default 1).
inline double ForBuild(double plain, double sanitized, double emulated) {
    double base = Emulated() ? emulated : (REL_SANITIZED ? sanitized : plain);
    if (const char* s = std::getenv("LOGCOMP_REL_SCALE")) {
        const double scale = std::strtod(s, nullptr);
        if (scale > 0) base *= scale;
    }
    return base;
}

}  // namespace rel
