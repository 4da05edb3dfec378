// Allocation failure on every path that reports one. The binary is linked with -Wl,--wrap for
// malloc, calloc, realloc, strdup, free and the nothrow new and delete: calls from the objects
// linked into it (the library's static objects and the host's list container among them) land
// here and reach the real allocator, or a sanitizer's, through __real_*, so this works alike in
// the plain, ASan and TSan builds. Blocks are recorded while tracking is on, which finds leaks
// without a leak checker. Only calloc, realloc, strdup and the nothrow new are ever failed: they
// are what the library and its list use. uthash allocates with malloc (which the compiler may
// merge with the clearing that follows into a calloc) and ends the process when that fails, by
// design: its blocks are recorded but never failed.
//
// Each scenario runs once to count its failable allocations, then once per allocation with
// exactly that one failing: the failure must be logged, nothing may leak once the trigger has
// stopped, and the same request (same task id) must succeed right after. On the test fakes: the
// loop is pumped by the test, the compressor finishes at once, and only tar runs for real.
#include <gtest/gtest.h>
#include <uthash.h>

#include <new>
#include <set>

#include "logCompress/LogCompTriggerInternal.h"
#include "logCompress/LogManager.h"
#include "logCompress/LogManagerInternal.h"
#include "tests/support/fakes.h"
#include "tests/support/realhost.h"

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

namespace rel {
namespace {

// Blocks allocated while tracking is on, in a fixed open-addressed table, so that the record
// itself allocates nothing. A slot is empty (never used), kGone (freed) or a live block.
std::mutex gMu;
bool gTracking = false;
constexpr size_t kSlots = 1 << 20;
void* gSlot[kSlots];
void* const kGone = &gSlot;
size_t gLive = 0;
std::atomic<bool> gArmed{false};
std::atomic<long> gFailAt{-1}, gCount{0};  // while armed: the gFailAt-th failable one fails

void* Record(void* p, bool alive = true) {
    std::lock_guard<std::mutex> lock(gMu);
    if (!gTracking || p == nullptr) return p;
    size_t i = (reinterpret_cast<uintptr_t>(p) >> 4) % kSlots, reuse = kSlots;
    for (; gSlot[i] != nullptr && gSlot[i] != p; i = (i + 1) % kSlots)
        if (gSlot[i] == kGone && reuse == kSlots) reuse = i;
    if (alive && gSlot[i] != p) gSlot[reuse < kSlots ? reuse : i] = p, ++gLive;
    if (!alive && gSlot[i] == p) gSlot[i] = kGone, --gLive;
    return p;
}
void StartTracking() {
    std::lock_guard<std::mutex> lock(gMu);
    std::fill(gSlot, gSlot + kSlots, nullptr);
    gLive = 0, gTracking = true;
}
size_t Live() {
    return std::lock_guard<std::mutex>{gMu}, gLive;
}
// uthash's table header and bucket arrays: no allocation of the library has one of these sizes.
bool ShouldFail(size_t bytes) {
    constexpr size_t kBuckets = HASH_INITIAL_NUM_BUCKETS * sizeof(UT_hash_bucket);
    return gArmed && bytes != sizeof(UT_hash_table) && (bytes == 0 || bytes % kBuckets != 0) &&
           gCount.fetch_add(1) == gFailAt.load();
}

}  // namespace
}  // namespace rel

extern "C" {

void* __wrap_malloc(size_t size) {
    return rel::Record(__real_malloc(size));
}
void* __wrap_calloc(size_t n, size_t size) {
    return rel::ShouldFail(n * size) ? nullptr : rel::Record(__real_calloc(n, size));
}
void* __wrap_realloc(void* old, size_t size) {
    if (rel::ShouldFail(size)) return nullptr;  // the old block stays as it was
    void* p = __real_realloc(old, size);
    if (p != nullptr) rel::Record(old, false);
    return rel::Record(p);
}
char* __wrap_strdup(const char* s) {
    return rel::ShouldFail(strlen(s) + 1) ? nullptr
                                          : static_cast<char*>(rel::Record(__real_strdup(s)));
}
void __wrap_free(void* p) {
    __real_free(rel::Record(p, false));
}
void* __wrap__ZnwmRKSt9nothrow_t(size_t size, const std::nothrow_t& tag) {
    return rel::ShouldFail(size) ? nullptr : rel::Record(__real__ZnwmRKSt9nothrow_t(size, tag));
}
void __wrap__ZdlPv(void* p) {
    __real__ZdlPv(rel::Record(p, false));
}
void __wrap__ZdlPvm(void* p, size_t size) {
    __real__ZdlPvm(rel::Record(p, false), size);
}

}  // extern "C"

namespace rel {
namespace {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kArchive = kLogDir + "/alloc.tar";

LOG_COMP_TRIGGER_REQ Request(const char* id, int option, const char* begin) {
    return MakeReq(id, option, begin, "2026-12-03", kArchive + ".gz");
}

class Alloc : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
        ASSERT_TRUE(EmptyDir(kLogDir));
        for (const std::string day : {"2026-12-01", "2026-12-02", "2026-12-03"})
            for (const auto& name :
                 {day + ".log", day + "-csms.log", "csms-broker-" + day + ".log"})
                ASSERT_TRUE(WriteFile(kLogDir + "/" + name, "line\n"));
        // tar really packs (the dispatch checks that the archive exists); rm and the restore
        // are left out, so that every run finds the same logs.
        fakes::ShellSetHook([](const std::string& cmd, std::string& out) {
            return cmd.find("tar -cvf") != std::string::npos ? fakes::ShellRunReal(cmd, out) : 0;
        });
    }
    void TearDown() override {
        fakes::ClearNow();
        fakes::ResetAll();
    }

    // Posts req (or, without one, lets the daily run fire) and pumps the loop until it settled:
    // the post refused, the failed dispatch logged, or a result heard, and no record left.
    void Settle(const LOG_COMP_TRIGGER_REQ* req) {
        const size_t heard = gResults.All().size();
        const std::string failed = std::string("[") + (req ? req->strTaskId : "") +
                                   "]LogCompTriggerEventProc failed, compressOption ";
        const int failedBefore = fakes::LogCountContaining(failed);
        if (req == nullptr) fakes::FireAllTimers();
        if (req != nullptr && LogCompTriggerPostTask(req) != 0) return;
        EXPECT_TRUE(fakes::PumpUntil([&] {
            return (req == nullptr || gResults.All().size() > heard ||
                    fakes::LogCountContaining(failed) > failedBefore) &&
                   HASH_COUNT(sLogCompTriggerObj.pTaskMap) == 0 && !fakes::PendingTasks();
        }));
    }

    // With the failAt-th failable allocation failing (-1: none): it is logged, the request
    // (or, after the daily run, one of today) then succeeds, and nothing is left allocated.
    // Returns how many failable allocations there were.
    long RunOnce(int hour, const LOG_COMP_TRIGGER_REQ* req, long failAt) {
        LOG_COMP_TRIGGER_CONFIG config{{hour, 0, 0}, nullptr};
        StartTracking();
        EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config), 0);
        const size_t logged = fakes::LogLines().size();
        gCount = 0, gFailAt = failAt, gArmed = true;  // -1: only counts
        Settle(req);
        gArmed = false;
        const auto lines = fakes::LogLines();
        bool error = false;
        for (auto l = lines.begin() + static_cast<long>(logged); l != lines.end(); ++l)
            if (l->level == LEVEL_ERROR) error = true, seen_.insert(l->text);
        EXPECT_EQ(error, failAt >= 0) << "allocation " << failAt;
        unlink(kArchive.c_str());
        const auto today = Request("after", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2026-12-03");
        const size_t heard = gResults.All().size();
        Settle(req != nullptr ? req : &today);
        const auto all = gResults.All();
        EXPECT_TRUE(all.size() == heard + 1 && all.back().result == LOG_COMP_TRIGGER_RESULT_SUCCESS)
            << "not usable after failure " << failAt;
        unlink(kArchive.c_str());
        LogCompTriggerUninit();
        fakes::PumpLoop();
        EXPECT_EQ(Live(), 0u) << "leak after failure " << failAt;
        return gCount;
    }
    std::set<std::string> seen_;  // the error lines of every run
};

// A package; compress-only over forty days (the date list grows past its first 30 slots: a
// realloc); the daily run at midnight (the timer fires once the trigger runs). Where only the log
// tells, each allocation site must be named in it.
TEST_F(Alloc, EachFailableAllocationOfARequestOrTheDailyRun) {
    const auto pkg = Request("pkg", LOG_COMPRESS_OPTION_FULL, "2026-12-01");
    const auto only = Request("only", LOG_COMPRESS_OPTION_ONLY_COMPRESS, "2026-10-25");
    const std::vector<std::string> request = {"PostTask malloc failed", "GenerateDateRange failed",
                                              "malloc taskMap failed", "Init_LinkList failed",
                                              "malloc pConfig failed, fileNameRule index = 3"};
    const std::vector<std::string> daily = {"PreHandleLogCompTrigger malloc failed",
                                            "CreateDateList failed", "AddDateToList failed",
                                            "malloc taskMap failed", "Init_LinkList failed"};
    std::vector<std::string> package = request;
    package.insert(package.end(), {"LogCompPackageFiles: malloc failed",
                                   "LogCompPackageFiles: malloc pConfig failed"});
    for (const auto& [hour, req, sites] :
         {std::tuple{2, &pkg, package}, {2, &only, request}, {0, nullptr, daily}}) {
        const long total = RunOnce(hour, req, -1);
        EXPECT_GT(total, 0);
        for (long n = 0; n < total && !HasFailure(); ++n) RunOnce(hour, req, n);
        for (const std::string& site : sites)
            EXPECT_TRUE(std::any_of(seen_.begin(), seen_.end(),
                                    [&](const std::string& l) { return l.find(site) != l.npos; }))
                << "never logged: " << site;
        seen_.clear();
    }
}

// The storage guard's search copies its result with strdup: without memory it finds nothing,
// deletes nothing, and the next check deletes as usual.
TEST_F(Alloc, StorageCheck) {
    const std::string dir = LOGCOMP_BINARY_DIR "/rel-alloc-guard";
    ASSERT_TRUE(EmptyDir(dir) && WriteFile(dir + "/old.log", "x\n") &&
                WriteFile(dir + "/new.log", "y\n"));
    fakes::DeviceSetSdStatus(SD_STATUS_OK);
    fakes::DeviceSetUsage({1ull << 30, 1ull << 30, 0, 100.0});
    LOG_MANAGER_CONFIG config{};
    snprintf(config.logDir, sizeof config.logDir, "%s", dir.c_str());
    config.storageThreshold = 90;
    ASSERT_EQ(LogManagerInit(fakes::Loop(), &config), 0);
    StartTracking();
    gCount = 0, gFailAt = 0, gArmed = true;
    LogManagerOnTimer(nullptr, &sLogManager);
    gArmed = false;
    EXPECT_GE(gCount, 1);
    EXPECT_EQ(ListDir(dir).size() * 10 + Live(), 20u) << "entries * 10 + live blocks";
    LogManagerOnTimer(nullptr, &sLogManager);
    EXPECT_EQ(ListDir(dir).size(), 1u);
    LogManagerUninit();
    Shell("rm -rf '" + dir + "'");
}

}  // namespace
}  // namespace rel
