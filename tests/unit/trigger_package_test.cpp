// Packaging with the real tar behind a recording shell: the exact command lines, the output
// path rule, the 4094-character line, the archive read back before anything is deleted, and
// every failure with what it leaves.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

const std::string kPast[] = {"2026-12-02.log", "2026-12-02-csms.log",
                             "2026-12-02-network-shell.log", "csms-broker-2026-12-02.log"};
const std::string kTail = " || [ $? -eq 1 ]; }";

class TriggerPackage : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        Start();
        fakes::PumpLoop();
        for (const auto& name : kPast) ASSERT_TRUE(Touch(name, name + " line\n"));
        ASSERT_TRUE(Touch("2026-12-03.log"));
        fakes::ShellSetHook(&fakes::ShellRunReal);
    }
    int PostPackage(const std::string& output, const std::string& begin = "2026-12-02") {
        return Post(MakeReq("p", LOG_COMPRESS_OPTION_FULL, begin, kToday, output));
    }
    static std::vector<std::string> Commands() {
        std::vector<std::string> cmds;
        for (const auto& c : fakes::ShellCalls()) cmds.push_back(c.cmd);
        return cmds;
    }
    static std::string Cd() { return "cd " + kLogDir + " && "; }
    static std::string Names() {
        return " " + kPast[0] + " " + kPast[1] + " " + kPast[2] + " " + kPast[3];
    }
};

TEST_F(TriggerPackage, PacksSelectedFilesDeletesPastOnesAndCompressesTheArchive) {
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
    EXPECT_EQ(Commands(), (std::vector<std::string>{Cd() + "{ tar -cvf " + LogPath("out.tar") +
                                                        Names() + " 2026-12-03.log" + kTail,
                                                    Cd() + "rm -rf" + Names()}));
    for (const auto& c : fakes::ShellCalls()) EXPECT_EQ(c.outputLen, 255);
    EXPECT_EQ(ListLogDir(), (std::vector<std::string>{"2026-12-03.log", "out.tar"}));
    EXPECT_EQ(fakes::LogCount("[p]EventLogPackageAndCompress package file success, fileCount = 1"),
              1);
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(Results::All()[0].result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
    EXPECT_EQ(fakes::CompressStarts(LogPath("out.tar")), 1);
    EXPECT_EQ(ListDir(LCT_RECORD_DIR), std::vector<std::string>{});  // released with the task
}

TEST_F(TriggerPackage, OnlyTodaysFilesGiveAnEmptyDeletion) {
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz"), kToday), 0);
    EXPECT_EQ(Commands(), (std::vector<std::string>{
                              Cd() + "{ tar -cvf " + LogPath("out.tar") + " 2026-12-03.log" + kTail,
                              "cd " + kLogDir + " && rm -rf"}));
    ASSERT_TRUE(WaitResults(1));
}

TEST_F(TriggerPackage, OutputPathRule) {
    for (const char* bad : {"", ".tar.gz", "x.tgz", "x.TAR.GZ", "x.tar", "-x.tar.gz",
                            "host:x.tar.gz", "--checkpoint-action=exec=sh.tar.gz"}) {
        EXPECT_EQ(PostPackage(bad), 0) << bad;
    }
    EXPECT_EQ(Errors("[p]EventLogPackageAndCompress failed, outputPath is empty or not ends with "
                     ".tar.gz"),
              8);
    EXPECT_TRUE(fakes::ShellCalls().empty());
    EXPECT_EQ(MapSize(), 0u);
    // One word for the shell, quoted only when it must be.
    const std::string hostile = kLogDir + "/a b;$(x)`y`'z'.tar";
    const std::string quoted = "'" + kLogDir + "/a b;$(x)`y`'\\''z'\\''.tar'";
    EXPECT_EQ(PostPackage(hostile + ".gz"), 0);
    EXPECT_EQ(Commands()[0].rfind(Cd() + "{ tar -cvf " + quoted + " 2026-12-02.log ", 0), 0u);
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(fakes::CompressStarts(hostile), 1);
}

// What tar leaves decides what happens next: nothing is deleted unless the archive holds
// everything, and a failed tar leaves no archive.
TEST_F(TriggerPackage, TheArchiveIsReadBackBeforeAnythingIsDeleted) {
    struct {
        const char* what;
        std::function<int(const std::string&, std::string&)> tar;
        std::string error;
        size_t commands;
        bool restored;  // the deletion ran and was undone
    } cases[] = {
        {"tar fails",
         [](const std::string&, std::string& out) {
             out = "boom";
             return -1;
         },
         "LogCompPackageFiles: package failed, output = boom", 1, false},
        {"tar makes nothing", [](const std::string&, std::string&) { return 0; },
         "LogCompPackageFiles: tarPath " + LogPath("out.tar") + " is not exist", 1, false},
        {"tar is cut short",
         [](const std::string& cmd, std::string& out) {
             fakes::ShellRunReal(cmd, out);
             return fakes::ShellRunReal("truncate -s 1024 '" + LogPath("out.tar") + "'", out);
         },
         "LogCompPackageFiles: " + LogPath("out.tar") +
             " is not a whole archive of the packed files",
         1, false},
        {"rm fails after running",
         [](const std::string& cmd, std::string& out) {
             const int ret = fakes::ShellRunReal(cmd, out);
             return cmd.find("rm -rf") != std::string::npos ? -1 : ret;
         },
         "LogCompPackageFiles: delete failed, output = ", 2, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fakes::ResetAll();
        fakes::ShellSetHook([&](const std::string& cmd, std::string& out) {
            return cmd.find("{ tar -cvf") != std::string::npos ||
                           cmd.find("rm -rf") != std::string::npos
                       ? c.tar(cmd, out)
                       : fakes::ShellRunReal(cmd, out);
        });
        EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
        EXPECT_EQ(Errors(c.error), 1);
        EXPECT_EQ(Errors("[p]LogCompTriggerEventProc failed, compressOption 1"), 1);
        EXPECT_EQ(Commands().size(), c.commands + (c.restored ? 1 : 0));
        EXPECT_EQ(ListLogDir(), (std::vector<std::string>{kPast[1], kPast[2], kPast[0],
                                                          "2026-12-03.log", kPast[3]}));
        EXPECT_EQ(ListDir(LCT_RECORD_DIR), std::vector<std::string>{});
        EXPECT_EQ(MapSize(), 0u);
        EXPECT_EQ(Results::Count(), 0u);
    }
}

TEST_F(TriggerPackage, ExecutorRefusalPutsThePackedFilesBack) {
    LogCompExecUninit();
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
    EXPECT_EQ(Errors("[p]LogCompTriggerEventProc failed, compressOption 1"), 1);
    EXPECT_EQ(MapSize(), 0u);
    EXPECT_EQ(ListLogDir(),
              (std::vector<std::string>{kPast[1], kPast[2], kPast[0], "2026-12-03.log", kPast[3]}));
}

TEST_F(TriggerPackage, CommandLineStopsAt4094Characters) {
    const std::string tar = LogPath("out.tar");
    const size_t prefix = (Cd() + "{ tar -cvf " + tar).size() + kTail.size();
    // Long names fill the line up to `rest` characters short of 4094.
    size_t len = 200;
    while ((4094 - prefix) % (len + 1) < 2) len--;
    const size_t fit = (4094 - prefix) / (len + 1);
    const size_t rest = 4094 - prefix - fit * (len + 1);
    std::vector<std::string> names;
    for (size_t i = 0; i < fit + 2; i++) {
        std::string n = "L" + std::to_string(i) + "-";
        names.push_back(n + std::string(len - n.size(), 'x'));
    }
    names.push_back(std::string(rest, 'y'));      // one character too long: skipped
    names.push_back(std::string(rest - 1, 'z'));  // exactly 4094: packed
    names.push_back("a");                         // no room left: skipped
    LinkList list = Init_LinkList();
    for (const auto& n : names) {
        auto* cfg = static_cast<FILE_COMPRESS_CONFIG*>(calloc(1, sizeof(FILE_COMPRESS_CONFIG)));
        snprintf(cfg->file, sizeof cfg->file, "%s", n.c_str());
        PushBack_LinkList(list, cfg);
    }
    fakes::ShellSetHook([](const std::string&, std::string&) { return -1; });  // names unread
    EXPECT_FALSE(LogCompPackageFiles(list, (tar + ".gz").c_str()));
    EXPECT_EQ(Size_LinkList(list), 0);
    LCTListDelAll(list);
    const std::string tarCmd = Commands()[0];
    EXPECT_EQ(tarCmd.size(), 4094u);
    EXPECT_EQ(tarCmd.substr(tarCmd.size() - rest - kTail.size()),
              " " + std::string(rest - 1, 'z') + kTail);
    EXPECT_EQ(tarCmd.find("L" + std::to_string(fit) + "-"), std::string::npos);
    const std::string full = "LogCompPackageFiles: command is too long[cmdLen=" +
                             std::to_string(4094 - rest - kTail.size()) + "], skip file";
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, full), 3);
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, "LogCompPackageFiles: command is too long[cmdLen=" +
                                              std::to_string(4094 - kTail.size()) + "], skip file"),
              1);
}

}  // namespace
}  // namespace trigtest
