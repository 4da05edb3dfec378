// Allocation failure on demand; see rel_alloc_wrap.h.
#include "tests/reliability/rel_alloc_wrap.h"

#include <uthash.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t n, size_t size);
void* __real_realloc(void* p, size_t size);
char* __real_strdup(const char* s);
void __real_free(void* p);
void* __real__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag);
void __real__ZdlPv(void* p);
void __real__ZdlPvm(void* p, size_t size);
}

namespace rel::alloc {
namespace {

// Open addressing over a fixed table: no allocation inside the allocator's wrappers.
constexpr size_t kSlots = 1u << 16;
constexpr uintptr_t kEmpty = 0;
constexpr uintptr_t kGone = 1;
uintptr_t gSlots[kSlots];
size_t gLive = 0;
bool gTracking = false;
std::mutex gMu;

std::atomic<bool> gArmed{false};
std::atomic<long> gFailAt{-1};
std::atomic<long> gCount{0};
std::atomic<bool> gFired{false};

size_t SlotOf(uintptr_t p) {
    return static_cast<size_t>((p >> 4) * 0x9E3779B97F4A7C15ull >> 48) & (kSlots - 1);
}

void Track(void* p) {
    if (p == nullptr) return;
    std::lock_guard<std::mutex> lock(gMu);
    if (!gTracking) return;
    for (size_t i = SlotOf(reinterpret_cast<uintptr_t>(p)), n = 0; n < kSlots;
         i = (i + 1) & (kSlots - 1), ++n) {
        if (gSlots[i] == kEmpty || gSlots[i] == kGone) {
            gSlots[i] = reinterpret_cast<uintptr_t>(p);
            ++gLive;
            return;
        }
    }
}

void Untrack(void* p) {
    if (p == nullptr) return;
    std::lock_guard<std::mutex> lock(gMu);
    if (gLive == 0) return;
    for (size_t i = SlotOf(reinterpret_cast<uintptr_t>(p)), n = 0;
         n < kSlots && gSlots[i] != kEmpty; i = (i + 1) & (kSlots - 1), ++n) {
        if (gSlots[i] == reinterpret_cast<uintptr_t>(p)) {
            gSlots[i] = kGone;
            --gLive;
            return;
        }
    }
}

// uthash allocates with malloc and clears the block, which the compiler may turn into one
// calloc: its table header and bucket arrays are never failed (their failure ends the process
// by design). No allocation of the library has one of these sizes.
bool IsUthashBlock(size_t bytes) {
    constexpr size_t kBuckets = HASH_INITIAL_NUM_BUCKETS * sizeof(UT_hash_bucket);
    return bytes == sizeof(UT_hash_table) || (bytes != 0 && bytes % kBuckets == 0);
}

// True when this failable allocation is the one to fail.
bool ShouldFail(size_t bytes) {
    if (!gArmed.load() || IsUthashBlock(bytes)) return false;
    const long index = gCount.fetch_add(1);
    if (index != gFailAt.load()) return false;
    gFired = true;
    return true;
}

}  // namespace

void StartTracking() {
    std::lock_guard<std::mutex> lock(gMu);
    memset(gSlots, 0, sizeof gSlots);
    gLive = 0;
    gTracking = true;
}

size_t Live() {
    std::lock_guard<std::mutex> lock(gMu);
    return gLive;
}

void Arm(long failAt) {
    gCount = 0;
    gFired = false;
    gFailAt = failAt;
    gArmed = true;
}

long Disarm() {
    gArmed = false;
    return gCount.load();
}

bool Fired() {
    return gFired.load();
}

}  // namespace rel::alloc

using rel::alloc::ShouldFail;
using rel::alloc::Track;
using rel::alloc::Untrack;

extern "C" {

void* __wrap_malloc(size_t size) {
    void* p = __real_malloc(size);
    Track(p);
    return p;
}

void* __wrap_calloc(size_t n, size_t size) {
    if (ShouldFail(n * size)) return nullptr;
    void* p = __real_calloc(n, size);
    Track(p);
    return p;
}

void* __wrap_realloc(void* old, size_t size) {
    if (ShouldFail(size)) return nullptr;  // the old block stays as it was
    void* p = __real_realloc(old, size);
    if (p != nullptr) {
        Untrack(old);
        Track(p);
    }
    return p;
}

char* __wrap_strdup(const char* s) {
    if (ShouldFail(strlen(s) + 1)) return nullptr;
    char* p = __real_strdup(s);
    Track(p);
    return p;
}

void __wrap_free(void* p) {
    Untrack(p);
    __real_free(p);
}

void* __wrap__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
    if (ShouldFail(size)) return nullptr;
    void* p = __real__ZnwmRKSt9nothrow_t(size, tag);
    Track(p);
    return p;
}

void __wrap__ZdlPv(void* p) {
    Untrack(p);
    __real__ZdlPv(p);
}

void __wrap__ZdlPvm(void* p, size_t size) {
    Untrack(p);
    __real__ZdlPvm(p, size);
}

}  // extern "C"
