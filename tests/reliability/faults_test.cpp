// Faults in the host services under a real loop, real tar and the real compressor: the library
// is linked with -Wl,--wrap for FileCompress_Start, FileCompress_Run and FILE_system, so its
// calls land here first and reach the real host only as the case's plan allows. For each case:
// what the requester hears, what is logged, which files are left, and an inventory showing
// that no line was lost and nothing half-made was left.
#include <fcntl.h>
#include <gtest/gtest.h>

#include "fileUtils/file_utils.h"
#include "tests/support/env.h"
#include "tests/support/private_tmpfs.h"
#include "tests/support/realhost.h"

extern "C" {
FILE_COMPRESS_HANDLE __real_FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                               uint16_t outFileLen);
int __real_FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs);
int __real_FILE_system(const char* cmd, char* output, int outputLen);
}

namespace rel {
namespace {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kMediaDir = kLogDir.substr(0, kLogDir.rfind('/'));  // the card
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_faults.log";
const std::string kArchive = "pkg.tar";
const Days kDays = TheDays();
constexpr int kNoResult = -1;

enum Fault { kRuns, kFailBefore, kFailAfter };
enum Command { kPack, kDelete, kRestore, kOther };  // the library's shell commands

struct Plan {
    uint32_t sliceBytes = 0;  // segment size forced on every compression (0: as asked)
    std::string failStartOf;  // Start of the first file whose path contains this: NULL
    std::string failSliceOf;  // a slice of the first file whose path contains this ...
    int failSliceIndex = 0;   // ... with this index (from 0) fails without being run
    Fault shell[3] = {kRuns, kRuns, kRuns};  // pack, delete, restore
    std::function<void()> beforeStart;
    std::function<void(Command)> beforeShell;
};

std::mutex gMu;
Plan gPlan;
std::map<FILE_COMPRESS_HANDLE, std::pair<std::string, int>> gHandles;  // file, slices run

}  // namespace
}  // namespace rel

extern "C" {

FILE_COMPRESS_HANDLE __wrap_FileCompress_Start(FILE_COMPRESS_CONFIG* config, char* outFile,
                                               uint16_t outFileLen) {
    using namespace rel;
    std::unique_lock<std::mutex> lock(gMu);
    const Plan plan = gPlan;
    if (!plan.failStartOf.empty() && strstr(config->file, plan.failStartOf.c_str()) != nullptr) {
        gPlan.failStartOf.clear();  // once
        return nullptr;
    }
    lock.unlock();
    if (plan.beforeStart) plan.beforeStart();
    FILE_COMPRESS_CONFIG copy = *config;
    if (plan.sliceBytes != 0) copy.segmentSize = plan.sliceBytes;
    FILE_COMPRESS_HANDLE h = __real_FileCompress_Start(&copy, outFile, outFileLen);
    lock.lock();
    gHandles[h] = {copy.file, 0};
    return h;
}

int __wrap_FileCompress_Run(FILE_COMPRESS_HANDLE handle, uint32_t delayMs) {
    using namespace rel;
    {
        std::lock_guard<std::mutex> lock(gMu);
        auto& [file, slices] = gHandles[handle];
        if (slices++ == gPlan.failSliceIndex && !gPlan.failSliceOf.empty() &&
            file.find(gPlan.failSliceOf) != std::string::npos) {
            gPlan.failSliceOf.clear();  // once
            return FILE_COMPRESS_STATUS_FAILED;
        }
    }
    return __real_FileCompress_Run(handle, delayMs);
}

int __wrap_FILE_system(const char* cmd, char* output, int outputLen) {
    using namespace rel;
    std::unique_lock<std::mutex> lock(gMu);
    const Plan plan = gPlan;
    lock.unlock();
    const Command kind = strstr(cmd, "tar -xvf")   ? kRestore
                         : strstr(cmd, "tar -cvf") ? kPack
                         : strstr(cmd, "rm -rf")   ? kDelete
                                                   : kOther;
    const Fault fault = kind == kOther ? kRuns : plan.shell[kind];
    if (fault == kFailBefore && output != nullptr) output[0] = '\0';
    if (fault == kFailBefore) return -1;
    if (plan.beforeShell) plan.beforeShell(kind);
    const int rc = __real_FILE_system(cmd, output, outputLen);
    return fault == kFailAfter ? -1 : rc;
}

}  // extern "C"

namespace rel {
namespace {

struct Case {
    std::string name;
    bool package;  // else compress-only: package takes P2..T, compress-only takes P1
    Plan plan;
    int result;                      // LOG_COMP_TRIGGER_RESULT_*, or kNoResult
    std::vector<std::string> lines;  // messages that must be logged (as a prefix)
    std::vector<std::string> gone;   // logs no longer there afterwards (their lines are)
    std::vector<std::string> added;  // files there only afterwards
    std::function<void()> beforeRequest;
    std::function<void()> afterRequest;  // once the loop has stopped
};
Case Make(std::string name, bool package, Plan plan, int result, std::vector<std::string> lines,
          std::vector<std::string> gone = {}, std::vector<std::string> added = {}) {
    return {std::move(name), package,          std::move(plan), result, std::move(lines),
            std::move(gone), std::move(added), nullptr,         nullptr};
}

std::mutex gWrittenMu;
Lines gWritten;  // lines a case's hooks wrote into the logs while it ran

void NoteWritten(const std::string& text) {
    std::lock_guard<std::mutex> lock(gWrittenMu);
    gWritten.Add(text);
}

// "" when the case went as expected, else its findings, one per line.
std::string RunCase(const Case& c) {
    const Days& d = kDays;
    Lines expected;
    if (!EmptyDir(kLogDir) || !AddDays(kLogDir, {d.p1, d.p2, d.p3}, 64 << 10, 4242, &expected) ||
        !AddDays(kLogDir, {d.t}, 32 << 10, 4242, &expected)) {
        return c.name + ": cannot prepare the log directory\n";
    }
    gWritten = Lines();
    if (c.beforeRequest) c.beforeRequest();
    std::set<std::string> names;  // what must be left
    for (const auto& name : ListDir(kLogDir)) names.insert(name);
    for (const auto& name : c.gone) names.erase(name);
    names.insert(c.added.begin(), c.added.end());
    gPlan = c.plan;
    gHandles.clear();
    gResults.Clear();
    RealLoop loop;
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    if (!LogToFile(kSinkFile) || !loop.Start() || LogCompTriggerInit(loop.Get(), &config) != 0)
        return c.name + ": cannot start\n";
    const LOG_COMP_TRIGGER_REQ req =
        c.package ? MakeReq("fault", LOG_COMPRESS_OPTION_FULL, d.p2, d.t,
                            kLogDir + "/" + kArchive + ".gz")
                  : MakeReq("fault", LOG_COMPRESS_OPTION_ONLY_COMPRESS, d.p1, d.p1);
    std::string f;
    if (LogCompTriggerPostTask(&req) != 0 || !loop.Run()) f += "the post or dispatch failed\n";
    // A failed dispatch is logged by now; only a task the executor took can still answer.
    if (c.result != kNoResult &&
        CountLogged(kSinkFile, "[fault]LogCompTriggerEventProc failed") == 0 &&
        !gResults.WaitCount(1)) {
        f += "no result in time\n";
    }
    LogCompTriggerUninit();
    if (!loop.Run() || !loop.Run()) f += "the release did not run\n";
    loop.Stop();
    if (c.afterRequest) c.afterRequest();
    LogToStderr();
    gPlan = Plan{};

    const auto heard = gResults.All();
    if (heard.size() != (c.result == kNoResult ? 0u : 1u) ||
        (!heard.empty() && heard[0].result != c.result)) {
        f += "heard " + std::to_string(heard.size()) + " result(s), the first " +
             (heard.empty() ? "none" : std::to_string(heard[0].result)) + "\n";
    }
    for (const auto& line : c.lines)
        if (CountLogged(kSinkFile, line) == 0) f += "not logged: \"" + line + "\"\n";
    for (const auto& [line, n] : gWritten.count) expected.count[line] += n;
    const Inventory inv = TakeInventory(kLogDir);
    f += expected.MissingFrom(inv.lines);
    if (!ListDir(kLogDir + "/" LOG_COMP_RECORD_DIR_NAME).empty()) f += "a record was left\n";
    for (const auto& name : inv.temps) f += "temporary file left: " + name + "\n";
    for (const auto& name : inv.damaged) f += "damaged: " + name + "\n";
    for (const auto& name : inv.cutTars) f += "half archive: " + name + "\n";
    if (inv.names != std::vector<std::string>(names.begin(), names.end())) {
        f += "left " + ::testing::PrintToString(inv.names) + ", expected " +
             ::testing::PrintToString(names) + "\n";
    }
    return f.empty() ? "" : c.name + ":\n" + f;
}

// Writes beside the log directory until the card has no byte left.
void FillCard() {
    const int fd = open((kMediaDir + "/filler").c_str(), O_CREAT | O_WRONLY | O_APPEND, 0644);
    std::vector<char> block(1 << 20, 'F');
    for (size_t chunk = block.size(); fd >= 0 && chunk > 0;)
        if (write(fd, block.data(), chunk) <= 0) chunk /= 2;
    close(fd);
}

// The past logs a package takes, gone from the directory once the archive holds them.
std::vector<std::string> Packed() {
    std::vector<std::string> names = loggen::DayFileNames(kDays.p2);
    for (const auto& name : loggen::DayFileNames(kDays.p3)) names.push_back(name);
    return names;
}

const char* const kCompressFailed = "[TaskId = 0] Compress File Finished, status = 2";
const char* const kStartFailed = "FileCompress_Start failed, taskId = 0";
const char* const kPackFailed = "[fault]EventLogPackageAndCompress failed, PackageFiles failed";
const char* const kTarFailed = "LogCompPackageFiles: package failed, output = ";
const char* const kRmFailed = "LogCompPackageFiles: delete failed, output = ";
const char* const kDispatchFailed = "[fault]LogCompTriggerEventProc failed, compressOption 1";
const char* const kRestoreFailed = "LCTRestoreTarFile: restore failed, output = ";

Plan Fails(std::string startOf, std::string sliceOf = "", int index = 0, uint32_t bytes = 0) {
    Plan p;
    p.failStartOf = std::move(startOf);
    p.failSliceOf = std::move(sliceOf);
    p.failSliceIndex = index;
    p.sliceBytes = bytes;
    return p;
}
Plan ShellFails(Command which, Fault how, Plan p = {}) {
    p.shell[which] = how;
    return p;
}
Plan Fill(bool atTar) {
    Plan p;
    if (atTar) p.beforeShell = [](Command kind) { kind == kPack ? FillCard() : void(); };
    if (!atTar) p.beforeStart = FillCard;
    return p;
}

// A compressor that fails at a chosen slice or cannot start; tar, rm or the restore failing
// before running or after running anyway; a late line after the daily run; a full card.
TEST(Faults, HostFailuresAndAFullCardLoseNothingAndLeaveNoPartialOutput) {
    const int failed = LOG_COMP_TRIGGER_RESULT_FAILED;
    const std::vector<std::string> p1 = loggen::DayFileNames(kDays.p1);
    const std::vector<std::string> packed = Packed();
    auto gz = [](std::vector<std::string> names) {
        for (auto& name : names) name += ".gz";
        return names;
    };
    std::vector<Case> cases = {
        Make("archive slice 3 fails", true, Fails("", kArchive, 2, 16 << 10), failed,
             {kCompressFailed, "[fault]TaskLogCompCallback: taskId 0 compress failed, ret = 2"}),
        Make("archive compression cannot start", true, Fails(kArchive), failed, {kStartFailed}),
        Make("second file fails at slice 2", false, Fails("", p1[1], 1, 4096), failed,
             {kCompressFailed}, {p1[0]}, gz({p1[0]})),
        Make("third file cannot start", false, Fails(p1[2]), failed, {kStartFailed}, {p1[0], p1[1]},
             gz({p1[0], p1[1]})),
        Make("tar not run", true, ShellFails(kPack, kFailBefore), kNoResult,
             {kTarFailed, kPackFailed, kDispatchFailed}),
        // A failed tar leaves no archive: its sources were never touched.
        Make("tar ran, reported failed", true, ShellFails(kPack, kFailAfter), kNoResult,
             {kTarFailed, kPackFailed}),
        Make("rm not run", true, ShellFails(kDelete, kFailBefore), kNoResult,
             {kRmFailed, kPackFailed, kDispatchFailed}),
        Make("rm ran, reported failed", true, ShellFails(kDelete, kFailAfter), kNoResult,
             {kRmFailed, kPackFailed, kDispatchFailed}),
        Make("compression and restore fail: the .tar stays", true,
             ShellFails(kRestore, kFailBefore, Fails(kArchive)), failed,
             {kStartFailed, kRestoreFailed}, packed, {kArchive}),
        Make("restore ran, reported failed", true,
             ShellFails(kRestore, kFailAfter, Fails(kArchive)), failed,
             {kStartFailed, kRestoreFailed}),
        // The daily run compressed yesterday's log; then the station wrote one late line into a
        // log it created anew, and the next run compresses that: the .gz keeps every line.
        Make("a late line after the daily run", false, Plan{}, LOG_COMP_TRIGGER_RESULT_SUCCESS, {},
             p1, gz(p1)),
    };
    cases.back().beforeRequest = [log = kLogDir + "/" + p1[0]] {
        const std::string line = "2026-12-06T00:00:01.000Z INFO a late line\n";
        Shell("gzip -c '" + log + "' > '" + log + ".gz' && printf '%s' '" + line + "' > '" + log +
              "'");
        NoteWritten(line);
    };
    for (const auto& c : cases) EXPECT_EQ(RunCase(c), "");

    // On a card of 2 MiB: a tmpfs in a private mount namespace of a child process.
    const Case onFullCard[] = {
        Make("card full at compression", false, Fill(false), failed, {kCompressFailed}),
        Make("card full at the archive's compression, so at its restore", true, Fill(false), failed,
             {kCompressFailed, kRestoreFailed}, packed, {kArchive}),
        Make("card full at tar", true, Fill(true), kNoResult, {kTarFailed, kPackFailed}),
    };
    if (Emulated()) GTEST_SKIP() << "mount namespaces are not emulated";
    for (const auto& c : onFullCard) {
        const auto found = hosttest::InPrivateTmpfs(kMediaDir, "2m", [&] { return RunCase(c); });
        if (!found) GTEST_SKIP() << "cannot mount a tmpfs here";
        EXPECT_EQ(*found, "");
    }
}

// Today's log written while it is packed, the way a station logger writes: one descriptor kept
// open, one write per line, each line noted so that the inventory looks for it. From the moment
// tar starts: 4 MiB at once (so that tar needs a while), then a line every few microseconds
// until the request is over.
std::atomic<bool> gWriting{false};
std::thread gWriter;

void StartWriting() {
    gWriting = true;
    gWriter = std::thread([] {
        const int fd = open((kLogDir + "/" + kDays.t + ".log").c_str(), O_WRONLY | O_APPEND);
        const size_t bulk = static_cast<size_t>(ForBuild(4, 4, 1) * (1 << 20));
        for (size_t seq = 0, bytes = 0; gWriting; ++seq) {
            const std::string line = "2026-12-06T10:00:00.000Z INFO live " + std::to_string(seq);
            if (write(fd, (line + "\n").data(), line.size() + 1) > 0) NoteWritten(line);
            if ((bytes += line.size() + 1) > bulk) usleep(20);
        }
        close(fd);
    });
}

// With `stop`, a stop reaches the executor before the archive's first compression slice, so
// that the restore runs while the log is written.
Case PackageWhileWriting(bool stop) {
    Plan plan;
    plan.sliceBytes = 4096;
    plan.beforeShell = [](Command kind) { kind == kPack ? StartWriting() : void(); };
    if (stop) {
        plan.beforeStart = [] {
            const LOG_COMP_TRIGGER_REQ req = MakeReq("fault", LOG_COMPRESS_OPTION_STOP, "", "");
            LogCompTriggerPostTask(&req);
            for (auto end = std::chrono::steady_clock::now() + 60s;
                 CountLogged(kSinkFile, "[fault]LogCompress Event Stop") == 0 &&
                 std::chrono::steady_clock::now() < end;) {
                std::this_thread::sleep_for(2ms);
            }
        };
    }
    Case c = stop ? Make("stopped while today's log is written", true, plan,
                         LOG_COMP_TRIGGER_RESULT_REJECT, {"[fault]LogCompress Event Stop"})
                  : Make("packaged while today's log is written", true, plan,
                         LOG_COMP_TRIGGER_RESULT_SUCCESS, {}, Packed(), {kArchive + ".gz"});
    c.afterRequest = [] {
        gWriting = false;
        gWriter.join();
    };
    return c;
}

TEST(LiveLog, EveryRequestAnsweredAndNoLineLostWithGnuAndBusyBoxTar) {
    const std::string bin = LOGCOMP_BINARY_DIR "/busybox-bin";
    const std::string path = getenv("PATH");
    ASSERT_TRUE(Shell("bb=$(command -v busybox) && mkdir -p '" + bin + "' && ln -sf \"$bb\" '" +
                      bin + "/tar' && ln -sf \"$bb\" '" + bin + "/rm'"))
        << "busybox is not installed (scripts/install-deps.sh)";
    for (const char* tar : {"GNU", "BusyBox"}) {
        if (tar[0] == 'B') setenv("PATH", (bin + ":" + path).c_str(), 1);
        for (bool stop : {false, true}) {
            for (int i = 0; i < static_cast<int>(ForBuild(2, 1, 1)); ++i)
                EXPECT_EQ(RunCase(PackageWhileWriting(stop)), "") << tar << " tar, round " << i;
        }
    }
    setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace rel
