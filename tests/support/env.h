// Where a reliability test runs: sanitizer builds and an emulated target run shorter scenarios,
// and LOGCOMP_REL_SCALE stretches or shrinks every bounded loop of these tests.
#pragma once

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define REL_SANITIZED 1
#else
#define REL_SANITIZED 0
#endif

namespace rel {

// Set by the cross build's test runner (qemu user-mode emulation).
inline bool Emulated() {
    return std::getenv("LOGCOMP_EMULATED") != nullptr;
}

// The figure for this build, times LOGCOMP_REL_SCALE (default 1).
inline double ForBuild(double plain, double sanitized, double emulated) {
    const char* s = std::getenv("LOGCOMP_REL_SCALE");
    const double scale = s != nullptr && std::strtod(s, nullptr) > 0 ? std::strtod(s, nullptr) : 1;
    return scale * (Emulated() ? emulated : REL_SANITIZED ? sanitized : plain);
}

}  // namespace rel
