// The executor on the scripted compressor: start and stop, the registry, the worker's order,
// retries and failures, pause, dynamic mode, the exit flag and cancellation.
#include <gtest/gtest.h>

#include <deque>

#include "list/link_list.h"
#include "logCompress/LogCompExecInternal.h"
#include "tests/support/fakes.h"

namespace {

using namespace std::chrono_literals;
constexpr int kOngoing = FILE_COMPRESS_STATUS_ONGOING, kFinished = FILE_COMPRESS_STATUS_FINISHED;

using Strings = std::vector<std::string>;
Strings gAnswers;  // "<id> <status> <here|worker>", here being the test's thread
LinkList gLastList;
std::thread::id gTestThread;
std::atomic<int> gPauses{0}, gTicks{0};

void OnDone(uint64_t id, LinkList list, int status, void*) {
    const char* const names[] = {"finished", "ongoing", "failed", "cancelled"};
    const std::string answer = std::to_string(id) + " " +
                               (status >= 0 && status < 4 ? names[status] : "?") +
                               (std::this_thread::get_id() == gTestThread ? " here" : " worker");
    fakes::Locked([&] { gAnswers.push_back(answer), gLastList = list; }, true);
}
const auto Answers = [] { return fakes::Locked([] { return gAnswers; }); };
bool WaitDone(size_t n) {
    return fakes::WaitUntil([n] { return Answers().size() >= n; });
}

// A pause period ends when the test ticks it or the executor stops; the executor's flag
// signals no fake event, so it is looked at every millisecond.
unsigned PauseSleep(unsigned seconds) {
    EXPECT_EQ(seconds, 5u);
    const int me = ++gPauses;
    fakes::NotifyAll();
    auto over = [me] { return gTicks.load() >= me || sLogCompExecObj.threadExit.load(); };
    for (int i = 0; i < 10000 && !over(); ++i) fakes::WaitUntil(over, 1ms);
    return 0;
}
const auto Tick = [] { fakes::Locked([] { ++gTicks; }, true); };

class ExecTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fakes::ResetAll();
        gAnswers.clear();
        gTestThread = std::this_thread::get_id();
        gPauses = gTicks = 0;
        LogCompExecSetPauseSleepHook(&PauseSleep);
        ASSERT_EQ(LogCompExecInit(), 0);
    }
    void TearDown() override {
        LogCompExecUninit();
        LogCompExecSetPauseSleepHook(nullptr);
        LogCompExecSetThreadCreateHook(nullptr);
        fakes::ResetAll();
        for (LinkList list : lists_) Destroy_LinkList(list);
    }
    std::string Path(const std::string& name) const { return dir_ / name; }
    LinkList List(const std::vector<std::string>& names) {
        const LinkList list = lists_.emplace_back(Init_LinkList());
        for (const std::string& name : names) {
            char* file = configs_.emplace_back().file;
            snprintf(file, sizeof configs_.back().file, "%s", Path(name).c_str());
            PushBack_LinkList(list, &configs_.back());
        }
        return list;
    }
    static int Add(uint64_t id, LinkList list, uint32_t retryCnt = 0) {
        const LOG_COMPEXEC_TASK task = {list, id, &OnDone, nullptr, retryCnt};
        return LogCompExecAddTask(&task);
    }
    // Task `id` takes the worker and is held in its first pause period, its file open.
    void Hold(uint64_t id) {
        LogCompExecSetPause(true);
        ASSERT_EQ(Add(id, List({"held.log"})), 0);
        ASSERT_TRUE(fakes::WaitUntil([] { return gPauses.load() == 1; }));
    }
    std::vector<uint32_t> Delays(const std::string& name) const {
        std::vector<uint32_t> delays;
        for (const auto& c : fakes::CompressCalls())
            if (c.kind == c.kRun && c.file == Path(name)) delays.push_back(c.delayMs);
        return delays;
    }
    bool Exists(const std::string& name) const { return rel::Exists(Path(name)); }

    rel::TempDir dir_;
    std::deque<FILE_COMPRESS_CONFIG> configs_;
    std::vector<LinkList> lists_;
};

TEST_F(ExecTest, RefusesWorkWhileStoppedAndEachStartIsClean) {
    const LinkList files = List({"a.log"});
    LogCompExecSetDynamic(true);
    EXPECT_EQ(LogCompExecInit(), 0);  // while started: changes nothing
    ASSERT_EQ(Add(1, files), 0);
    ASSERT_TRUE(WaitDone(1));
    LogCompExecSetPause(true);  // neither may outlive the executor
    LogCompExecSetExit(true);
    LogCompExecUninit();
    LogCompExecUninit();  // stopped: nothing to stop
    LogCompExecSetThreadCreateHook(
        [](pthread_t*, const pthread_attr_t*, void* (*)(void*), void*) { return EAGAIN; });
    EXPECT_EQ(LogCompExecInit(), -1);
    LogCompExecUninit();  // no worker to join
    EXPECT_EQ((std::vector<int>{Add(2, files), LogCompExecDelTask(2)}), std::vector<int>(2, -1));
    LogCompExecSetThreadCreateHook(nullptr);
    ASSERT_EQ(LogCompExecInit(), 0);
    ASSERT_EQ(Add(1, files), 0);
    ASSERT_TRUE(WaitDone(2));
    EXPECT_EQ(Answers(), (Strings{"1 finished worker", "1 finished worker"}));
    EXPECT_TRUE(gPauses.load() == 0 && Delays("a.log") == (std::vector<uint32_t>{5, 1}));
}

TEST_F(ExecTest, RegistryRefusesDuplicatesAndTheTaskPast1024) {
    Hold(0);  // the running task keeps its id and its place
    const LinkList empty = List({});
    EXPECT_EQ(LogCompExecAddTask(nullptr), -1);
    EXPECT_EQ(Add(0, empty), -1);
    EXPECT_EQ((std::vector<int>{Add(1, empty), Add(1, empty)}), (std::vector<int>{0, -1}));
    for (uint64_t id = 2; id < 1024; ++id) ASSERT_EQ(Add(id, empty), 0) << id;
    EXPECT_EQ(Add(5000, empty), -1);
    ASSERT_EQ(LogCompExecDelTask(1023), 0);  // frees one place
    EXPECT_EQ(Add(5000, empty), 0);
    EXPECT_EQ(Add(5000, empty), -1);  // full first: a registered id is not what the log blames
    EXPECT_EQ(fakes::LogCountContaining("already exists"), 2);  // for 0 and 1 only

    // 1023 was answered by its delete; at shutdown the worker ends the running task, then
    // every waiting one is cancelled on this thread, oldest first.
    LogCompExecUninit();
    Strings expected = {"1023 cancelled here", "0 cancelled worker"};
    for (uint64_t id = 1; id < 1024; ++id)
        expected.push_back(std::to_string(id < 1023 ? id : 5000) + " cancelled here");
    EXPECT_EQ(Answers(), expected);
}

TEST_F(ExecTest, DeleteAnswersAWaitingTaskAtOnceAndARunningOneOnceAfterItsPause) {
    fakes::CompressSetCreateOutput(true);
    Hold(1);
    const LinkList waiting = List({"w.log"});
    ASSERT_EQ(Add(2, waiting), 0);
    EXPECT_EQ(LogCompExecDelTask(2), 0);
    EXPECT_EQ(Answers(), Strings{"2 cancelled here"});  // before the call returned
    EXPECT_EQ(gLastList, waiting);
    for (uint64_t id : {2, 99, 1, 1}) EXPECT_EQ(LogCompExecDelTask(id), 0) << id;
    EXPECT_EQ(Answers().size(), 1u);  // the running one is the worker's to answer
    Tick();                           // the pause period in progress ends
    ASSERT_TRUE(WaitDone(2));
    LogCompExecUninit();
    EXPECT_EQ(Answers(), (Strings{"2 cancelled here", "1 cancelled worker"}));
    EXPECT_TRUE(gPauses.load() == 1 && Delays("held.log").empty() && !Exists("held.log.gz") &&
                fakes::CompressStarts(Path("w.log")) == 0 && fakes::CompressOpenHandles() == 0);
}

TEST_F(ExecTest, PauseHoldsTheOpenFileThenTasksRunOneFileAtATimeInOrder) {
    fakes::CompressSetRunHook(
        [](const std::string&, int slice, uint32_t) { return slice < 2 ? kOngoing : kFinished; });
    LogCompExecSetPause(true);
    std::string expected;  // per call: its kind (start, run, stop) and file
    for (uint64_t id = 1; id <= 3; ++id) {
        const std::string a = std::to_string(id) + "a", b = std::to_string(id) + "b";
        ASSERT_EQ(Add(id, List({a + ".log", b + ".log"})), 0);
        for (const std::string& f : {a, b})
            expected += "0" + f + " 1" + f + " 1" + f + " 1" + f + " 2" + f + " ";
    }
    for (int pass = 1; pass <= 2; ++pass) {  // a new period every 5 s, the first file open
        ASSERT_TRUE(fakes::WaitUntil([pass] { return gPauses.load() == pass; }));
        EXPECT_TRUE(fakes::CompressCalls().size() == 1u && fakes::CompressOpenHandles() == 1);
        if (pass == 2) LogCompExecSetPause(false);
        Tick();
    }
    ASSERT_TRUE(WaitDone(3));
    EXPECT_EQ(Answers(), (Strings{"1 finished worker", "2 finished worker", "3 finished worker"}));
    std::string calls;
    for (const auto& c : fakes::CompressCalls())
        calls += std::to_string(c.kind) + c.file.substr(dir_.size() + 1, 2) + " ";
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(gPauses.load(), 2);
}

// A file's script: its attempts separated by '|', in each one digit per slice, the status that
// slice returns (0 finished, 1 ongoing, 2 failed, others unknown) or x (ongoing, and the exit
// flag is set), or "!" when the start fails. The flag stays set until the table ends.
TEST_F(ExecTest, ScriptedSlicesRetriesFailuresAndExit) {
    const struct {
        const char *name, *scripts;  // scripts: one per file, space-separated
        uint32_t retryCnt;
        const char *status, *after;  // after, per file: its starts, and + when its .gz is there
    } cases[] = {
        {"all finish", "110 0", 0, "finished", "1+1+"},
        {"other results go on", "1730", 0, "finished", "1+"},
        {"a failure ends the task", "0 12 0", 0, "failed", "1+1-0-"},
        {"budget shared by the files", "2|0 2|2 0", 2, "failed", "2+2-0-"},
        {"budget spent", "2|2|2|0", 2, "failed", "3-"},
        {"budget enough", "2|12|0", 2, "finished", "3+"},
        {"start fails", "! 0", 5, "failed", "1-0-"},
        {"restart fails", "2|!", 5, "failed", "2-"},
        {"empty list", "", 0, "failed", ""},
        {"exit cancels the file in progress", "1x2 0", 0, "cancelled", "1-0-"},
        {"exit cancels each task taken", "2 0", 0, "cancelled", "1-0-"},
    };
    fakes::CompressSetCreateOutput(true);
    uint64_t id = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ++id;
        Strings scripts, names;
        std::istringstream in(c.scripts);
        for (std::string script; in >> script; scripts.push_back(script))
            names.push_back(std::to_string(id) + char('a' + scripts.size()) + ".log");
        auto attempt = [scripts](const std::string& file, int n) {
            std::string script = scripts[file[file.size() - 5] - 'a'];
            for (; n > 0; --n) script = script.substr(script.find('|') + 1);
            return script.substr(0, script.find('|'));
        };
        fakes::CompressSetStartHook([attempt](const FILE_COMPRESS_CONFIG& cfg, int n) {
            return attempt(cfg.file, n) != "!";
        });
        fakes::CompressSetRunHook([attempt](const std::string& file, int slice, uint32_t) {
            const char status = attempt(file, fakes::CompressStarts(file) - 1).at(slice);
            if (status == 'x') LogCompExecSetExit(true);
            return status == 'x' ? kOngoing : status - '0';
        });
        ASSERT_EQ(Add(id, List(names), c.retryCnt), 0);
        ASSERT_TRUE(WaitDone(id));
        EXPECT_EQ(Answers().back(), std::to_string(id) + " " + c.status + " worker");
        std::string after;
        for (const auto& name : names)
            after += std::to_string(fakes::CompressStarts(Path(name))) +
                     (Exists(name + ".gz") ? "+" : "-");
        EXPECT_EQ(after, c.after);
        EXPECT_EQ(fakes::CompressOpenHandles(), 0);
    }
    fakes::CompressSetStartHook(nullptr);
    fakes::CompressSetRunHook(nullptr);
    LogCompExecSetExit(false);
    const LOG_COMPEXEC_TASK bare = {nullptr, 99, nullptr, nullptr, 0};  // no list, no callback
    ASSERT_EQ(LogCompExecAddTask(&bare), 0);
    ASSERT_EQ(Add(100, List({"after.log"})), 0);  // the worker went on
    ASSERT_TRUE(WaitDone(id + 1));
    EXPECT_EQ(Answers().back(), "100 finished worker");
}

}  // namespace
