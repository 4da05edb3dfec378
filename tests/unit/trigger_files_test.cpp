// The trigger's work on real files in the test log directory, with the real tar behind the
// fake shell: which files a request takes, what packaging deletes and what it leaves when tar
// misbehaves, the restore of a package, and records a dead process left that cannot be trusted.
#include "tests/support/trigger_fixture.h"

namespace trigtest {
namespace {

const std::string kPast[] = {"2026-12-02-csms.log", "2026-12-02-network-shell.log",
                             "2026-12-02.log", "csms-broker-2026-12-02.log"};
const std::string kToday = "2026-12-03.log";
const std::vector<std::string> kAll = {kPast[0], kPast[1], kPast[2], kToday, kPast[3]};

class TriggerFiles : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        fakes::ShellSetHook(&fakes::ShellRunReal);
        MakeLogs();
    }
    static void MakeLogs() {
        for (const auto& name : kAll) ASSERT_TRUE(Touch(name, name + " line\n"));
    }
    // Packs every log into `tar` (relative to the log directory), then deletes the past ones.
    static void Pack(const std::string& tar) {
        setenv("TAR", tar.c_str(), 1);
        ASSERT_EQ(Sh("cd '" + kLogDir + "' && tar -cf \"$TAR\" * && rm " + kPast[0] + " " +
                     kPast[1] + " " + kPast[2] + " " + kPast[3]),
                  0);
    }
    static LinkList Orders(const std::vector<std::string>& names) {
        LinkList list = Init_LinkList();
        for (const auto& n : names) PushBack_LinkList(list, LCTNewFileOrder(n.c_str(), true));
        return list;
    }
};

TEST_F(TriggerFiles, SelectionTakesDatesThenRulesInOrderAndKeepsTodaysFilesByTheUtcDate) {
    setenv("TZ", "EAST-14", 1);
    tzset();
    fakes::SetNow(fakes::MakeUtc(2026, 12, 3, 23, 30));  // 2026-12-04 in that zone
    ASSERT_TRUE(Touch("2026-12-03-csms.log") && Touch("2026-12-04.log") && Touch("other.log"));
    LOG_COMP_TRIGGER_TASK task{};
    task.pDateList = GenerateDateRange("2026-12-01", "2026-12-03", 0);
    std::swap(task.pDateList->dates[0], task.pDateList->dates[2]);  // 12-03, 12-02, 12-01
    LinkList list = Init_LinkList();
    EXPECT_EQ(LCTGetFileList(list, &task, false), 6);
    std::vector<std::pair<std::string, bool>> taken;  // name, deleted once compressed
    for (int i = 0; auto* p = static_cast<FILE_COMPRESS_CONFIG*>(Get_LinkList(list, i)); i++) {
        taken.emplace_back(p->file, p->needDelete);
    }
    EXPECT_EQ(taken, (std::vector<std::pair<std::string, bool>>{{kToday, false},
                                                                {"2026-12-03-csms.log", false},
                                                                {kPast[2], true},
                                                                {kPast[0], true},
                                                                {kPast[1], true},
                                                                {kPast[3], true}}));
    LCTListDelAll(list);
    FreeDateList(task.pDateList);
    EXPECT_FALSE(LCTIsToday("2026/12/03"));  // only the selection's own date format is read
}

// Nothing is deleted unless the archive holds it whole, and then only a past day's file that
// is still what tar read; whatever fails after the deletion puts the files back before the
// requester hears of it.
TEST_F(TriggerFiles, PackageDeletesOnlyWhatTheArchiveHoldsAndPutsItBackBeforeAFailureIsHeard) {
    const std::string tar = LogPath("out:1.tar");  // a colon after a slash: no remote archive
    const fakes::ShellHook real = fakes::ShellRunReal;
    // The real shell; after the packing tar ran, `then` gives the status in its place.
    const auto tarThen = [](std::function<int(int)> then) -> fakes::ShellHook {
        return [then](const std::string& cmd, std::string& out) {
            const int ret = fakes::ShellRunReal(cmd, out);
            return cmd.find("tar -cvf") != std::string::npos ? then(ret) : ret;
        };
    };
    const Heard none{}, ok{"p", kOk, ""};
    const int done = FILE_COMPRESS_STATUS_FINISHED, cancelled = FILE_COMPRESS_STATUS_CANCELLED;
    struct {
        const char* what;
        fakes::ShellHook shell;
        int compressed;                 // how the archive's compression ends
        std::vector<std::string> left;  // the log directory when the requester hears, and after
        Heard heard;
    } cases[] = {
        {"tar packs", real, done, {kToday, "out:1.tar"}, ok},
        {"a past file is written after tar read it",
         tarThen([](int ret) { return Touch(kPast[1], "more\n") ? ret : -1; }),
         done,
         {kPast[1], kToday, "out:1.tar"},
         ok},
        {"tar fails", [](auto&, auto&) { return -1; }, done, kAll, none},
        {"tar makes nothing", [](auto&, auto&) { return 0; }, done, kAll, none},
        {"tar cuts the archive short",
         tarThen([&](int) { return Sh("truncate -s 1024 '" + tar + "'"); }), done, kAll, none},
        {"rm fails after it ran",
         [](const std::string& cmd, std::string& out) {
             const int ret = fakes::ShellRunReal(cmd, out);
             return cmd.find("rm -rf") != std::string::npos ? -1 : ret;
         },
         done, kAll, none},
        {"the compression fails",
         real,
         FILE_COMPRESS_STATUS_FAILED,
         kAll,
         {"p", kFailed, "log compress failed"}},
        {"the compression is cancelled",
         real,
         cancelled,
         kAll,
         {"p", kReject, "log compress cancelled"}},
        {"the executor refuses the archive", real, done, kAll, none},
    };
    Start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Sh("rm -f '" + tar + "'");
        MakeLogs();
        heard_.clear();
        std::vector<std::string> whenHeard;
        hook_ = [&](auto*) { whenHeard = List(); };
        fakes::ShellSetHook(c.shell);
        fakes::CompressSetRunHook([&](const std::string&, int, uint32_t) {
            if (c.compressed == cancelled) LogCompExecSetExit(true);  // ends the next slice
            return c.compressed == cancelled ? FILE_COMPRESS_STATUS_ONGOING : c.compressed;
        });
        if (c.what == std::string("the executor refuses the archive")) LogCompExecUninit();
        EXPECT_EQ(Post(Req("p", 1, "2026-12-02", "2026-12-03", LogPath("out:1.tar.gz"))), 0);
        const bool heard = c.heard != none;
        ASSERT_TRUE(WaitHeard(heard ? 1 : 0));
        LogCompExecSetExit(false);
        EXPECT_EQ(HeardSoFar(), heard ? std::vector<Heard>{c.heard} : std::vector<Heard>{});
        EXPECT_EQ(whenHeard, heard ? c.left : std::vector<std::string>{});
        EXPECT_EQ(List(), c.left);
        for (const auto& name : c.left) {
            EXPECT_TRUE(name == "out:1.tar" || name == kPast[1] || Read(name) == name + " line\n");
        }
        EXPECT_EQ(Records(), std::vector<std::string>{});
    }
}

TEST_F(TriggerFiles, TarCommandLineStopsAt4094Characters) {
    const std::string head = "cd " + kLogDir + " && { tar -cvf " + LogPath("out.tar");
    const std::string tail = " || [ $? -eq 1 ]; }";
    const size_t room = 4094 - head.size() - tail.size();  // for " name" words
    size_t len = 200;
    while (room % (len + 1) < 2) len--;
    const size_t fit = room / (len + 1), rest = room - fit * (len + 1);
    std::vector<std::string> names;
    for (size_t i = 0; i < fit + 2; i++) names.push_back(std::to_string(i) + std::string(len, 'x'));
    for (auto& n : names) n.resize(len);
    names.push_back(std::string(rest, 'y'));      // one character too long: skipped
    names.push_back(std::string(rest - 1, 'z'));  // exactly 4094: packed
    names.push_back("a");                         // no room left: skipped
    fakes::ShellSetHook([](const std::string&, std::string&) { return -1; });
    LinkList list = Orders(names);
    EXPECT_FALSE(LogCompPackageFiles(list, LogPath("out.tar.gz").c_str()));
    LCTListDelAll(list);
    std::string expected = head;
    for (size_t i = 0; i < fit; i++) expected += " " + names[i];
    EXPECT_EQ(fakes::ShellCalls().at(0), expected + " " + names[fit + 3] + tail);
}

// A package put back: only the files missing from the log directory come back, none over a
// file that is there, and an archive that is not exactly what packaging made is kept.
TEST_F(TriggerFiles, RestoreBringsBackOnlyMissingFilesFromATrustedArchive) {
    const std::string hostile = "a b;touch p1;$(touch p2)`touch p3`'q\"\nz&&touch p4|x.tar";
    const std::vector<std::string> cut = {kToday, "out.tar"};
    struct {
        const char* what;
        std::string tar;
        std::string spoil;  // run in the log directory once it is packed
        bool rewrite;       // a missing file is written anew while the archive is unpacked
        bool back;          // all missing files back and the archive gone
        std::vector<std::string> left;
    } cases[] = {
        {"named to break out of the command line", hostile, "true", false, true, kAll},
        {"with members that are no plain files with bare names", "out.tar",
         "mkdir sub && echo o > sub/x.log && ln -s /etc/passwd l.log && "
         "tar -rf out.tar sub/x.log l.log && rm -r sub l.log",
         false, true, kAll},
        {"whole, a file written anew under a missing name meanwhile",
         "out.tar",
         "true",
         true,
         false,
         {kPast[0], kPast[1], kPast[2], kToday, kPast[3], "out.tar"}},
        {"cut short", "out.tar", "truncate -s 1536 out.tar", false, false, cut},
        {"not an archive", "out.tar", "echo junk > out.tar", false, false, cut},
        {"a link to an archive",
         "out.tar",
         "mv out.tar real.tar && ln -s real.tar out.tar",
         false,
         false,
         {kToday, "out.tar", "real.tar"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EmptyLogDir();
        MakeLogs();
        Pack(c.tar);
        ASSERT_EQ(Sh("cd '" + kLogDir + "' && " + c.spoil), 0);
        fakes::ShellSetHook([&](const std::string& cmd, std::string& out) {
            const int ret = fakes::ShellRunReal(cmd, out);
            return c.rewrite && !Touch(kPast[3], "new\n") ? -1 : ret;
        });
        EXPECT_EQ(LCTRestoreArchive(LogPath(c.tar).c_str(), nullptr, nullptr), c.back);
        EXPECT_EQ(List(), c.left);
        for (const auto& name : c.left) {
            const std::string want = c.rewrite && name == kPast[3] ? "new\n" : name + " line\n";
            EXPECT_TRUE(name.find(".tar") != std::string::npos || Read(name) == want) << name;
        }
        EXPECT_EQ(Records(), std::vector<std::string>{});  // no staging left
    }
}

TEST_F(TriggerFiles, RecoveryResolvesSoundRecordsAndSetsDamagedOnesAside) {
    // A package that died while tar wrote, its files all in place: one line says so.
    ASSERT_EQ(Sh("cd '" + kLogDir + "' && tar -cf cut.tar * && truncate -s 1000 cut.tar"), 0);
    LinkList list = Orders(kAll);
    ASSERT_TRUE(LCTRecordWrite(8, LOG_COMPRESS_OPTION_FULL, LogPath("cut.tar").c_str(), list));
    LCTRecoverInLoop(nullptr);
    EXPECT_EQ(List(), kAll);
    EXPECT_EQ(fakes::LogCountContaining("LCTRecoverInLoop: 1 interrupted tasks resolved"), 1);

    const char* damaged[] = {
        "garbage",
        "logcomp-task 1\noption 1\narchive 9 /x/a.tar\nend\n",   // the length lies
        "logcomp-task 1\noption 1\narchive 9 rel/a.tar\nend\n",  // not absolute
        "logcomp-task 1\noption 2\nfile 4 ../x\nend\n",          // not a bare name
    };
    for (int i = 0; i < 4; i++) {
        FILE* f = fopen((std::string(LCT_RECORD_DIR) + "/task-" + std::to_string(i)).c_str(), "w");
        ASSERT_TRUE(f != nullptr && fputs(damaged[i], f) >= 0 && fclose(f) == 0);
    }
    // A package that died with its archive whole and its logs deleted; a member of that
    // archive its record does not name stays in it.
    ASSERT_EQ(Sh("cd '" + kLogDir + "' && echo x > extra.log"), 0);
    Pack("out.tar");
    ASSERT_EQ(Sh("cd '" + kLogDir + "' && rm extra.log"), 0);
    ASSERT_TRUE(LCTRecordWrite(7, LOG_COMPRESS_OPTION_FULL, LogPath("out.tar").c_str(), list));
    LCTListDelAll(list);
    LCTRecoverInLoop(nullptr);
    EXPECT_EQ(List(), kAll);
    EXPECT_EQ(Records(), (std::vector<std::string>{"damaged-task-0", "damaged-task-1",
                                                   "damaged-task-2", "damaged-task-3"}));
    // With nothing left to resolve, the recovery says nothing.
    ASSERT_EQ(Sh("rm -rf '" LCT_RECORD_DIR "'"), 0);
    fakes::LogClear();
    LCTRecoverInLoop(nullptr);
    EXPECT_TRUE(fakes::LogLines().empty());
}

}  // namespace
}  // namespace trigtest
