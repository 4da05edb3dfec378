// The trigger on the fakes, where the test decides when the loop runs, when a compression slice
// ends and what time it is ("today" is 2026-12-03, 12:00 UTC on the fake clock). Requests: what
// the intake refuses, stops and shutdown against waiting and running tasks, the daily run.
// Files, with the real tar behind the fake shell: which files a request takes, what packaging
// deletes and what it leaves when tar misbehaves, restore, and records a dead process left.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <tuple>

#include "logCompress/LogCompExecInternal.h"
#include "logCompress/LogCompTriggerInternal.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"

namespace {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
using Heard = std::tuple<std::string, int, std::string>;  // id, result, errMsg
using Names = std::vector<std::string>;
constexpr int kOk = LOG_COMP_TRIGGER_RESULT_SUCCESS, kFailed = LOG_COMP_TRIGGER_RESULT_FAILED,
              kReject = LOG_COMP_TRIGGER_RESULT_REJECT;
const std::string kCancelled = "log compress cancelled";

std::vector<Heard> gHeard;
std::function<void(const LOG_COMP_TRIGGER_RES*)> gHook;  // runs within each answer
bool gAllowed = true;
const LOG_COMPRESS_ALLOWED_CALLBACK Allowed = [] { return gAllowed; };

void OnResult(const LOG_COMP_TRIGGER_RES* res) {
    const auto hook = fakes::Locked([res] {
        gHeard.emplace_back(res->strTaskId, res->result, res->errMsg);
        return gHook;
    });
    if (hook) hook(res);
    fakes::NotifyAll();
}
const auto HeardSoFar = [] { return fakes::Locked([] { return gHeard; }); };
const auto MapSize = [] { return HASH_COUNT(sLogCompTriggerObj.pTaskMap); };
// Pumps until `n` results arrived and every task was released.
bool WaitHeard(size_t n) {
    return fakes::PumpUntil([n] { return HeardSoFar().size() >= n && MapSize() == 0; });
}

// A request for the days begin to end (end: begin when not given).
LOG_COMP_TRIGGER_REQ Req(const char* id, int option, const char* begin = "2026-12-03",
                         const char* end = nullptr, const std::string& output = "") {
    LOG_COMP_TRIGGER_REQ req{{}, {}, {}, {}, option, &OnResult};
    snprintf(req.strTaskId, sizeof req.strTaskId, "%s", id);
    snprintf(req.outputPath, sizeof req.outputPath, "%s", output.c_str());
    snprintf(req.beginTime, sizeof req.beginTime, "%s", begin);
    snprintf(req.endTime, sizeof req.endTime, "%s", end ? end : begin);
    return req;
}
int Post(const LOG_COMP_TRIGGER_REQ& req) {
    const int ret = LogCompTriggerPostTask(&req);
    fakes::PumpLoop();
    return ret;
}

// The real shell, run in the log directory.
const auto Sh = [](const std::string& cmd) { return rel::Shell("cd '" + kLogDir + "' && " + cmd); };
const auto LogPath = [](const std::string& name) { return kLogDir + "/" + name; };
bool Touch(const std::string& name, const std::string& text = "x\n") {
    return rel::WriteFile(LogPath(name), text);
}
std::string Read(const std::string& name) {
    std::string text;
    return rel::ReadFile(LogPath(name), &text) ? text : "<none>";
}
// The log directory (the library's record directory left out) or the record directory.
const auto List = [](const std::string& dir = kLogDir) { return rel::ListDir(dir); };
const auto Dirs = [] { return std::make_pair(List(), List(LCT_RECORD_DIR)); };
LinkList Orders(const Names& names) {
    LinkList list = Init_LinkList();
    for (const auto& n : names) PushBack_LinkList(list, LCTNewFileOrder(n.c_str(), true));
    return list;
}

// Leaves the trigger and the executor stopped, every fake reset and the log directory empty.
class Trigger : public ::testing::Test {
  protected:
    void SetUp() override {
        Reset();
        fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 12));
    }
    void TearDown() override {
        Open();
        if (sLogCompTriggerObj.inited.load() != 0) LogCompTriggerUninit();
        fakes::PumpLoop();
        if (sLogCompExecObj.inited.load() != 0) LogCompExecUninit();
        fakes::PumpLoop();
        LCTHashDelAll(&sLogCompTriggerObj);
        sLogCompTriggerObj.releasePending.store(false);
        Reset();
        unsetenv("TZ");
        tzset();
    }
    static void Reset() {
        fakes::ResetAll();
        gHeard.clear(), gHook = nullptr, gAllowed = true;
        EmptyLogDir();
    }
    static void EmptyLogDir() { ASSERT_TRUE(rel::EmptyDir(kLogDir)); }
    void Start(LOG_COMPRESS_ALLOWED_CALLBACK allowed = nullptr, int hour = 2, int minute = 0) {
        config_ = {{hour, minute, 0}, allowed};
        ASSERT_EQ(LogCompTriggerInit(fakes::Loop(), &config_), 0);
        fakes::PumpLoop();  // the recovery queued by the init
    }
    // Every compression stays in its first slice until open_, and ends at its second.
    void HoldCompression() {
        for (const char* day : {"2026-12-01", "2026-12-02", "2026-12-03", "2026-12-04"})
            ASSERT_TRUE(Touch(std::string(day) + ".log"));
        fakes::CompressSetRunHook([this](const std::string&, int slice, uint32_t) {
            fakes::WaitUntil([this] { return open_.load(); });
            return slice == 0 ? FILE_COMPRESS_STATUS_ONGOING : FILE_COMPRESS_STATUS_FINISHED;
        });
    }
    void Open() { open_ = true, fakes::NotifyAll(); }

    std::atomic<bool> open_{false};
    LOG_COMP_TRIGGER_CONFIG config_{};
};

TEST_F(Trigger, InitRefusesBadArgumentsAndUndoesAHalfStart) {
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    const auto init = [&config] { return LogCompTriggerInit(fakes::Loop(), &config); };
    fakes::SetTimerInitFails(true);
    const int noTimer = init();
    fakes::SetTimerInitFails(false);
    LogCompExecSetThreadCreateHook(
        [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return -1; });
    EXPECT_EQ((std::vector<int>{LogCompTriggerInit(nullptr, &config),
                                LogCompTriggerInit(fakes::Loop(), nullptr), noTimer, init()}),
              std::vector<int>(4, -1));
    LogCompExecSetThreadCreateHook(nullptr);
    EXPECT_TRUE(fakes::ActiveTimers().empty() && sLogCompTriggerObj.inited.load() == 0);

    Start(nullptr, 1);
    const fakes::TimerInfo timer = fakes::GetTimer(fakes::ActiveTimers().at(0));
    EXPECT_TRUE(timer.periodMs == 600000 && timer.repeat && timer.started);
    config = {{5, 0, 0}, Allowed};
    EXPECT_EQ(init(), 0);  // running already: unchanged
    EXPECT_TRUE(sLogCompTriggerObj.config.triggerTime.hour == 1 &&
                fakes::ActiveTimers().size() == 1u);
}

// Refused at once (-1), or failing on the loop (0, only logged): nothing runs, nobody hears.
TEST_F(Trigger, RefusedPostsAreNeverAnsweredAndAnUnterminatedIdIsCut) {
    ASSERT_TRUE(Touch("2026-12-02.log") && Touch("2026-12-03.log"));
    EXPECT_EQ(Post(Req("r", LOG_COMPRESS_OPTION_ONLY_COMPRESS)), -1);  // not started
    Start(Allowed);
    EXPECT_EQ(LogCompTriggerPostTask(nullptr), -1);
    LOG_COMP_TRIGGER_REQ unterminated = Req("u", LOG_COMPRESS_OPTION_ONLY_COMPRESS);
    memset(unterminated.beginTime, 'x', sizeof unterminated.beginTime);  // "2026-12-03xxx..."
    memcpy(unterminated.beginTime, "2026-12-03", 10);
    const int only = LOG_COMPRESS_OPTION_ONLY_COMPRESS, full = LOG_COMPRESS_OPTION_FULL;
    const std::tuple<LOG_COMP_TRIGGER_REQ, bool, int> cases[] = {
        {Req("r", LOG_COMPRESS_OPTION_STOP), false, -1},
        {Req("r", full, "2026-12-02", nullptr, LogPath("o.tar.gz")), false, -1},
        {Req("r", only, "2026-12-02"), false, -1},
        {Req("r", only, "2024-01-01", ""), true, -1},
        {Req("r", only, "2024-01-01", "2024-13-45"), true, -1},
        {Req("r", only, "1899-12-31", "2024-01-01"), true, -1},
        {Req("r", only, "tomorrow", "2024-01-01"), true, -1},
        {unterminated, true, -1},
        {Req("unknown", LOG_COMPRESS_OPTION_STOP, "junk", "junk"), true, 0},
        {Req("none", only, "2026-11-01", "2026-11-02"), true, 0},
        {Req("odd", 3), true, 0},
        {Req("tgz", full, "2026-12-02", nullptr, LogPath("o.tgz")), true, 0}};
    for (const auto& c : cases) {
        gAllowed = std::get<1>(c);
        EXPECT_EQ(Post(std::get<0>(c)), std::get<2>(c)) << "case " << &c - cases;
    }
    EXPECT_EQ(fakes::CompressCalls().size() + fakes::ShellCalls().size() + MapSize(), 0u);
    EXPECT_TRUE(HeardSoFar().empty());

    LOG_COMP_TRIGGER_REQ req = Req("", only);
    memset(req.strTaskId, 'a', sizeof req.strTaskId);
    EXPECT_EQ(Post(req), 0);
    ASSERT_TRUE(WaitHeard(1));
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{std::string(127, 'a'), kOk, ""}}));
}

TEST_F(Trigger, StopCancelsAWaitingTaskAtOnceAndARunningOneAtItsNextSlice) {
    HoldCompression();
    Start();
    ASSERT_EQ(Post(Req("busy", 2, "2026-12-01")), 0);
    ASSERT_TRUE(fakes::WaitUntil([] { return !fakes::CompressCalls().empty(); }));
    ASSERT_EQ(Post(Req("queued", 2, "2026-12-02")), 0);
    // A second request under a registered id is refused, a package before anything is packed.
    EXPECT_EQ(Post(Req("busy", 2, "2026-12-02")), 0);
    EXPECT_EQ(Post(Req("busy", 1, "2026-12-02", nullptr, LogPath("b.tar.gz"))), 0);
    EXPECT_TRUE(fakes::ShellCalls().empty());

    // The waiting task is answered within the stop; its requester may post from that answer.
    const LOG_COMP_TRIGGER_REQ next = Req("next", 2, "2026-12-02");
    gHook = [&](const LOG_COMP_TRIGGER_RES* res) {
        if (res->result == kReject && std::string(res->strTaskId) == "queued") {
            EXPECT_EQ(LogCompTriggerPostTask(&next), 0);
        }
    };
    EXPECT_EQ(Post(Req("queued", LOG_COMPRESS_OPTION_STOP)), 0);
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{"queued", kReject, kCancelled}}));
    EXPECT_EQ(Post(Req("busy", LOG_COMPRESS_OPTION_STOP)), 0);
    EXPECT_EQ(HeardSoFar().size(), 1u);                  // busy is in a slice
    EXPECT_EQ(Post(Req("queued", 2, "2026-12-02")), 0);  // the id is free again
    Open();
    ASSERT_TRUE(WaitHeard(4));
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{"queued", kReject, kCancelled},
                                                {"busy", kReject, kCancelled},
                                                {"next", kOk, ""},
                                                {"queued", kOk, ""}}));
    EXPECT_EQ(fakes::CompressStarts(LogPath("2026-12-02.log")), 2);
}

TEST_F(Trigger, UninitAnswersEveryTaskOnceAndTheNextStartWaitsForTheRelease) {
    HoldCompression();
    Start();
    EXPECT_EQ(Post(Req("run", 2, "2026-12-01", "2026-12-02")), 0);
    ASSERT_TRUE(fakes::WaitUntil([] { return !fakes::CompressCalls().empty(); }));
    EXPECT_EQ(Post(Req("wait1", 2, "2026-12-01")), 0);
    EXPECT_EQ(Post(Req("wait2", 2, "2026-12-02")), 0);

    LogCompTriggerUninit();
    EXPECT_TRUE(fakes::ActiveTimers().empty());  // no daily tick any more
    const LOG_COMP_TRIGGER_REQ late = Req("late", 2);
    EXPECT_EQ(LogCompTriggerPostTask(&late), -1);
    EXPECT_EQ(LogCompTriggerInit(fakes::Loop(), &config_), -1);  // the release has not run
    // The running slice ends once the release has cancelled the two waiting tasks; ended
    // earlier, the worker could run them before their cancel came.
    std::thread opener([&] {
        fakes::WaitUntil([] { return HeardSoFar().size() >= 2; });
        Open();
    });
    fakes::PumpLoop();
    opener.join();
    EXPECT_EQ(HeardSoFar(), (std::vector<Heard>{{"wait1", kReject, kCancelled},
                                                {"wait2", kReject, kCancelled},
                                                {"run", kReject, kCancelled}}));
    EXPECT_EQ(sLogCompExecObj.inited.load() + MapSize(), 0u);
    Start();
    EXPECT_EQ(Post(Req("again", 2, "2026-12-01")), 0);
    ASSERT_TRUE(WaitHeard(4));
}

// The daily run, in a time zone far from UTC: its days are UTC days all the same.
TEST_F(Trigger, DailyRunCompressesYesterdayOncePerDayFromTheTriggerTimeOnWhenAllowed) {
    setenv("TZ", "EAST-14", 1);  // 2026-12-03 10:00 UTC is 2026-12-04 00:00 there
    tzset();
    UvTimer* timer = nullptr;
    const auto startAt = [&](int hour, int minute) {
        Start(Allowed, hour, minute);
        timer = fakes::ActiveTimers().at(0);
    };
    // One tick at that UTC time: the file whose compression it started, or "".
    const auto tick = [&](int day, int hour, int minute) -> std::string {
        fakes::SetNow(fakes::MakeUtc(2026, 12, day, hour, minute));
        const size_t before = fakes::CompressCalls().size();
        fakes::FireTimer(timer);
        EXPECT_TRUE(fakes::PumpUntil([] { return MapSize() == 0; }));
        const auto calls = fakes::CompressCalls();
        return calls.size() > before ? calls[before].file.substr(kLogDir.size() + 1) : "";
    };
    ASSERT_TRUE(Touch("2026-12-02.log") && Touch("2026-12-03.log"));
    const std::string d2 = "2026-12-02.log", d3 = "2026-12-03.log";
    struct {
        int hour, minute;
        std::vector<std::tuple<int, int, int, std::string>> ticks;  // day, hour, minute, file
    } cases[] = {
        {2, 0, {{3, 1, 55, ""}, {3, 2, 5, d2}, {3, 2, 15, ""}, {3, 23, 55, ""}, {4, 2, 0, d3}}},
        {0, 0, {{3, 0, 7, d2}, {3, 0, 17, ""}, {4, 0, 7, d3}}},
        {23, 55, {{3, 23, 50, ""}, {4, 0, 0, ""}, {4, 23, 57, d3}}},
        {24, 0, {{3, 23, 59, ""}, {4, 0, 0, ""}}},
        {-1, 0, {{3, 0, 0, d2}, {3, 0, 10, ""}, {4, 0, 0, d3}}},
    };
    for (const auto& c : cases) {
        startAt(c.hour, c.minute);
        for (const auto& [day, hour, minute, file] : c.ticks) {
            EXPECT_EQ(tick(day, hour, minute), file)
                << c.hour << ":" << c.minute << " ticked " << day << " " << hour << ":" << minute;
        }
        LogCompTriggerUninit();
        fakes::PumpLoop();
    }
    EXPECT_TRUE(HeardSoFar().empty());  // the daily run answers nobody

    // It waits for permission, runs again after a cancel, but not after a failure.
    ASSERT_TRUE(Sh("rm 2026-12-03.log"));
    startAt(2, 0);
    gAllowed = false;
    EXPECT_EQ(tick(3, 2, 5), "");
    gAllowed = true;
    LogCompExecSetExit(true);  // the run is cancelled
    EXPECT_EQ(tick(3, 2, 15), "2026-12-02.log");
    LogCompExecSetExit(false);
    EXPECT_EQ(tick(3, 2, 25), "2026-12-02.log");
    EXPECT_EQ(tick(3, 2, 35), "");
    EXPECT_EQ(tick(4, 2, 5), "");  // no 2026-12-03 log: the run fails, and is not retried
    EXPECT_EQ(tick(4, 2, 15), "");
    EXPECT_EQ(fakes::LogCount("[logCompTriggerTaskId]EventLogCompress failed, no file to compress"),
              1);
}

// ---- files: the real shell, and logs of two days in every naming rule.

const Names kPast = {"2026-12-02-csms.log", "2026-12-02-network-shell.log", "2026-12-02.log",
                     "csms-broker-2026-12-02.log"};
const std::string kToday = "2026-12-03.log";
const Names kAll = {kPast[0], kPast[1], kPast[2], kToday, kPast[3]};

class TriggerFiles : public Trigger {
  protected:
    void SetUp() override {
        Trigger::SetUp();
        fakes::ShellSetHook(&fakes::ShellRunReal);
    }
    static void MakeLogs() {
        for (const auto& name : kAll) ASSERT_TRUE(Touch(name, name + " line\n"));
    }
    // Packs every log into `tar` (relative to the log directory), then deletes the past ones.
    static void Pack(const std::string& tar) {
        setenv("TAR", tar.c_str(), 1);
        ASSERT_TRUE(Sh("tar -cf \"$TAR\" * && rm ./*2026-12-02*"));
    }
};

// Nothing is deleted unless the archive holds it whole, and then only a past day's file that
// is still what tar read; whatever fails after the deletion puts the files back before the
// requester hears of it.
TEST_F(TriggerFiles, PackageDeletesOnlyWhatTheArchiveHoldsAndPutsItBackBeforeAFailureIsHeard) {
    const std::string tar = LogPath("out:1.tar");  // a colon after a slash: no remote archive
    const fakes::ShellHook real = fakes::ShellRunReal;
    // The real shell; after the command holding `word` ran, `then` gives the status instead.
    const auto after = [](const char* word, std::function<int(int)> then) -> fakes::ShellHook {
        return [word, then](const std::string& cmd, std::string& out) {
            const int ret = fakes::ShellRunReal(cmd, out);
            return cmd.find(word) != std::string::npos ? then(ret) : ret;
        };
    };
    const std::vector<Heard> none{}, ok{{"p", kOk, ""}};
    const int done = FILE_COMPRESS_STATUS_FINISHED, cancelled = FILE_COMPRESS_STATUS_CANCELLED;
    struct {
        const char* what;
        fakes::ShellHook shell;
        int compressed;  // how the archive's compression ends
        Names left;      // the log directory when the requester hears, and after
        std::vector<Heard> heard;
        // clang-format off
    } cases[] = {
        {"tar packs", real, done, {kToday, "out:1.tar"}, ok},
        {"a past file is written after tar read it",
         after("tar -cvf", [](int ret) { return Touch(kPast[1], "more\n") ? ret : -1; }),
         done, {kPast[1], kToday, "out:1.tar"}, ok},
        {"tar fails", [](auto&, auto&) { return -1; }, done, kAll, none},
        {"tar makes nothing", [](auto&, auto&) { return 0; }, done, kAll, none},
        {"tar cuts the archive short",
         after("tar -cvf", [&](int) { return Sh("truncate -s 1024 '" + tar + "'") - 1; }),
         done, kAll, none},
        {"rm fails after it ran", after("rm -rf", [](int) { return -1; }), done, kAll, none},
        {"the compression fails", real, FILE_COMPRESS_STATUS_FAILED, kAll,
         {{"p", kFailed, "log compress failed"}}},
        {"the compression is cancelled", real, cancelled, kAll, {{"p", kReject, kCancelled}}},
        {"the executor refuses the archive", real, done, kAll, none},
    };
    // clang-format on
    Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sh("rm -f '" + tar + "'");
        MakeLogs();
        gHeard.clear();
        Names whenHeard;
        gHook = [&](auto*) { whenHeard = List(); };
        fakes::ShellSetHook(c.shell);
        fakes::CompressSetRunHook([&](const std::string&, int, uint32_t) {
            if (c.compressed == cancelled) LogCompExecSetExit(true);  // ends the next slice
            return c.compressed == cancelled ? FILE_COMPRESS_STATUS_ONGOING : c.compressed;
        });
        if (c.what == std::string("the executor refuses the archive")) LogCompExecUninit();
        EXPECT_EQ(Post(Req("p", 1, "2026-12-02", "2026-12-03", LogPath("out:1.tar.gz"))), 0);
        ASSERT_TRUE(WaitHeard(c.heard.size()));
        LogCompExecSetExit(false);
        EXPECT_EQ(HeardSoFar(), c.heard);
        EXPECT_EQ(whenHeard, c.heard.empty() ? Names{} : c.left);
        EXPECT_EQ(Dirs(), std::make_pair(c.left, Names{}));
        for (const auto& name : c.left)
            EXPECT_TRUE(name == "out:1.tar" || name == kPast[1] || Read(name) == name + " line\n");
    }
}

TEST_F(TriggerFiles, TarCommandLineStopsAt4094Characters) {
    std::string expected = "cd " + kLogDir + " && { tar -cvf " + LogPath("out.tar");
    const std::string tail = " || [ $? -eq 1 ]; }";
    size_t len = 200, room = 4094 - expected.size() - tail.size();  // for " name" words
    while (room % (len + 1) < 2) len--;
    const size_t fit = room / (len + 1), rest = room - fit * (len + 1);
    Names names;
    for (size_t i = 0; i < fit + 2; i++) names.push_back(std::to_string(i) + std::string(len, 'x'));
    for (auto& n : names) n.resize(len);
    // One character too long: skipped; exactly 4094: packed; no room left: skipped.
    names.insert(names.end(), {std::string(rest, 'y'), std::string(rest - 1, 'z'), "a"});
    fakes::ShellSetHook([](const std::string&, std::string&) { return -1; });
    LinkList list = Orders(names);
    EXPECT_FALSE(LogCompPackageFiles(list, LogPath("out.tar.gz").c_str()));
    LCTListDelAll(list);
    for (size_t i = 0; i < fit; i++) expected += " " + names[i];
    EXPECT_EQ(fakes::ShellCalls().at(0), expected + " " + names[fit + 3] + tail);
}

// A package put back: only the files missing from the log directory come back, none over a
// file that is there, and an archive that is not exactly what packaging made is kept.
TEST_F(TriggerFiles, RestoreBringsBackOnlyMissingFilesFromATrustedArchive) {
    const std::string hostile = "a b;touch p1;$(touch p2)`touch p3`'q\"\nz&&touch p4|x.tar";
    const Names cut = {kToday, "out.tar"};
    struct {
        const char* what;
        std::string tar, spoil;  // spoil: run in the log directory once it is packed
        // rewrite: a missing file is written anew while the archive is unpacked; back: all
        // missing files are back and the archive is gone
        bool rewrite, back;
        Names left;
    } cases[] = {
        {"named to break out of the command line", hostile, "true", false, true, kAll},
        {"with members that are no plain files with bare names", "out.tar",
         "mkdir sub && echo o > sub/x.log && ln -s /etc/passwd l.log && "
         "tar -rf out.tar sub/x.log l.log && rm -r sub l.log",
         false, true, kAll},
        {"whole, a file written anew under a missing name meanwhile", "out.tar", "true", true,
         false, Names{kPast[0], kPast[1], kPast[2], kToday, kPast[3], "out.tar"}},
        {"cut short", "out.tar", "truncate -s 1536 out.tar", false, false, cut},
        {"not an archive", "out.tar", "echo junk > out.tar", false, false, cut},
        {"a link to an archive", "out.tar", "mv out.tar real.tar && ln -s real.tar out.tar", false,
         false, Names{kToday, "out.tar", "real.tar"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EmptyLogDir();
        MakeLogs();
        Pack(c.tar);
        ASSERT_TRUE(Sh(c.spoil));
        fakes::ShellSetHook([&](const std::string& cmd, std::string& out) {
            const int ret = fakes::ShellRunReal(cmd, out);
            return c.rewrite && !Touch(kPast[3], "new\n") ? -1 : ret;
        });
        EXPECT_EQ(LCTRestoreArchive(LogPath(c.tar).c_str(), nullptr, nullptr), c.back);
        EXPECT_EQ(Dirs(), std::make_pair(c.left, Names{}));  // no staging left
        for (const auto& name : c.left) {
            const std::string want = c.rewrite && name == kPast[3] ? "new\n" : name + " line\n";
            EXPECT_TRUE(name.find(".tar") != std::string::npos || Read(name) == want) << name;
        }
    }
}

TEST_F(TriggerFiles, RecoveryResolvesSoundRecordsAndSetsDamagedOnesAside) {
    MakeLogs();
    // A package that died while tar wrote, its files all in place: the cut archive goes.
    ASSERT_TRUE(Sh("tar -cf cut.tar * && truncate -s 1000 cut.tar"));
    LinkList list = Orders(kAll);
    ASSERT_TRUE(LCTRecordWrite(8, LOG_COMPRESS_OPTION_FULL, LogPath("cut.tar").c_str(), list));
    LCTRecoverInLoop(nullptr);
    EXPECT_EQ(Dirs(), std::make_pair(kAll, Names{}));

    const char* damaged[] = {
        "garbage",
        "logcomp-task 1\noption 1\narchive 9 /x/a.tar\nend\n",   // the length lies
        "logcomp-task 1\noption 1\narchive 9 rel/a.tar\nend\n",  // not absolute
        "logcomp-task 1\noption 2\nfile 4 ../x\nend\n",          // not a bare name
    };
    for (int i = 0; i < 4; i++)
        ASSERT_TRUE(rel::WriteFile(LCT_RECORD_DIR "/task-" + std::to_string(i), damaged[i]));
    // A package that died with its archive whole and its logs deleted; a member of that
    // archive its record does not name stays in it.
    ASSERT_TRUE(Touch("extra.log"));
    Pack("out.tar");
    ASSERT_TRUE(Sh("rm extra.log"));
    ASSERT_TRUE(LCTRecordWrite(7, LOG_COMPRESS_OPTION_FULL, LogPath("out.tar").c_str(), list));
    LCTListDelAll(list);
    LCTRecoverInLoop(nullptr);
    EXPECT_EQ(Dirs(), std::make_pair(kAll, Names{"damaged-task-0", "damaged-task-1",
                                                 "damaged-task-2", "damaged-task-3"}));
}

}  // namespace
