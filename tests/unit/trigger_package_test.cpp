// Packaging on the recording shell: the exact command lines, the output path rule, the
// 4094-character line, and every failure with the restore that follows it.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

const std::string kPast[] = {"2026-12-02.log", "2026-12-02-csms.log",
                             "2026-12-02-network-shell.log", "csms-broker-2026-12-02.log"};

class TriggerPackage : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        Start();
        for (const auto& name : kPast) ASSERT_TRUE(Touch(name));
        ASSERT_TRUE(Touch("2026-12-03.log"));
        // tar "succeeds" and leaves the archive; everything else succeeds quietly.
        Script("", 0, "", 0);
    }
    // The shell answers tar and rm as told; tar creates the archive when `tarMakes` is set.
    void Script(const std::string& tarOut, int tarRet, const std::string& rmOut, int rmRet,
                bool tarMakes = true) {
        fakes::ShellSetHook([=](const std::string& cmd, std::string& out) {
            if (cmd.find(" && tar -cvf ") != std::string::npos) {
                if (tarMakes) Touch("out.tar");
                out = tarOut;
                return tarRet;
            }
            if (cmd.find(" && rm -rf") != std::string::npos &&
                cmd.find("tar -xvf") == std::string::npos) {
                out = rmOut;
                return rmRet;
            }
            return 0;
        });
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
    static std::string Restore(const std::string& tar) {
        return Cd() + "tar -xvf " + tar + " && rm -rf " + tar;
    }
};

TEST_F(TriggerPackage, PacksSelectedFilesDeletesPastOnesAndCompressesTheArchive) {
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
    const std::string names = " " + kPast[0] + " " + kPast[1] + " " + kPast[2] + " " + kPast[3];
    EXPECT_EQ(Commands(), (std::vector<std::string>{
                              Cd() + "tar -cvf " + LogPath("out.tar") + names + " 2026-12-03.log",
                              Cd() + "rm -rf" + names}));
    for (const auto& c : fakes::ShellCalls()) EXPECT_EQ(c.outputLen, 255);
    EXPECT_EQ(fakes::LogCount("[p]EventLogPackageAndCompress package file success, fileCount = 1"),
              1);
    EXPECT_EQ(fakes::LogCount(
                  "[p]EventLogPackageAndCompress add compress task, taskId = 0, fileCount = 1"),
              1);
    ASSERT_TRUE(WaitResults(1));
    EXPECT_EQ(Results::All()[0].result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
    EXPECT_EQ(fakes::CompressStarts(LogPath("out.tar")), 1);
    EXPECT_EQ(fakes::LogCount("[p]TaskLogCompCallback: taskId 0 compress 1 files success"), 1);
}

TEST_F(TriggerPackage, OnlyTodaysFilesGiveAnEmptyDeletion) {
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz"), kToday), 0);
    EXPECT_EQ(Commands(),
              (std::vector<std::string>{Cd() + "tar -cvf " + LogPath("out.tar") + " 2026-12-03.log",
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
    // One word for the shell, quoted only when it must be; a relative path is resolved in
    // the log directory by tar but in the working directory by the existence check.
    const std::string hostile = kLogDir + "/a b;$(x)`y`'z'.tar";
    const std::string quoted = "'" + kLogDir + "/a b;$(x)`y`'\\''z'\\''.tar'";
    EXPECT_EQ(PostPackage(hostile + ".gz"), 0);
    EXPECT_EQ(Commands()[0].rfind(Cd() + "tar -cvf " + quoted + " 2026-12-02.log ", 0), 0u);
    EXPECT_EQ(Commands()[1], Restore(quoted));  // the tar of the hook made no such archive
    EXPECT_EQ(PostPackage("sub/x:rel.tar.gz"), 0);
    ASSERT_EQ(Commands().size(), 4u) << ::testing::PrintToString(Commands());
    EXPECT_EQ(Commands()[2].rfind(Cd() + "tar -cvf sub/x:rel.tar 2026-12-02.log ", 0), 0u);
    EXPECT_EQ(Commands()[3], Restore("sub/x:rel.tar"));
    EXPECT_EQ(Errors("LogCompPackageFiles: tarPath sub/x:rel.tar is not exist"), 1);
}

TEST_F(TriggerPackage, FailuresRestoreOnlyAfterTheArchiveExists) {
    const std::string tar = LogPath("out.tar");
    Script("tar: boom", -1, "", 0);
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
    EXPECT_EQ(Errors("LogCompPackageFiles: package failed, output = tar: boom"), 1);
    EXPECT_EQ(Commands().size(), 1u);

    fakes::ResetAll();
    Script("", 0, "rm: boom", -2);
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
    EXPECT_EQ(Errors("LogCompPackageFiles: delete failed, output = rm: boom"), 1);
    EXPECT_EQ(Commands().size(), 3u);
    EXPECT_EQ(Commands()[2], Restore(tar));

    fakes::ResetAll();
    unlink(tar.c_str());
    Script("", 0, "", 0, false);
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
    EXPECT_EQ(Errors("LogCompPackageFiles: tarPath " + tar + " is not exist"), 1);
    EXPECT_EQ(Commands().size(), 2u);
    EXPECT_EQ(Commands()[1], Restore(tar));

    EXPECT_EQ(Errors("[p]EventLogPackageAndCompress failed, PackageFiles failed"), 1);
    EXPECT_EQ(Errors("[p]LogCompTriggerEventProc failed, compressOption 1"), 1);
    EXPECT_EQ(MapSize(), 0u);
    EXPECT_EQ(Results::Count(), 0u);
    EXPECT_EQ(fakes::CompressCalls().size(), 0u);
}

TEST_F(TriggerPackage, ExecutorRefusalLeavesTheArchiveUncompressed) {
    LogCompExecUninit();
    EXPECT_EQ(PostPackage(LogPath("out.tar.gz")), 0);
    EXPECT_EQ(Errors("[p]LogCompTriggerEventProc failed, compressOption 1"), 1);
    EXPECT_EQ(MapSize(), 0u);
    EXPECT_TRUE(Exists(LogPath("out.tar")));
    EXPECT_EQ(Commands().size(), 2u);  // no restore
}

TEST_F(TriggerPackage, CommandLineStopsAt4094Characters) {
    const std::string tar = LogPath("out.tar");
    const size_t prefix = (Cd() + "tar -cvf " + tar).size();
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
        cfg->needDelete = n[0] != 'L';
        PushBack_LinkList(list, cfg);
    }
    ASSERT_TRUE(LogCompPackageFiles(list, (tar + ".gz").c_str()));
    EXPECT_EQ(Files(list), std::vector<std::string>{tar});
    LCTListDelAll(list);
    const std::string tarCmd = Commands()[0];
    EXPECT_EQ(tarCmd.size(), 4094u);
    EXPECT_EQ(tarCmd.substr(tarCmd.size() - rest), " " + std::string(rest - 1, 'z'));
    EXPECT_EQ(tarCmd.find("L" + std::to_string(fit) + "-"), std::string::npos);
    EXPECT_EQ(Commands()[1], Cd() + "rm -rf " + std::string(rest - 1, 'z'));
    const std::string full =
        "LogCompPackageFiles: command is too long[cmdLen=" + std::to_string(4094 - rest) +
        "], skip file";
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN, full), 3);
    EXPECT_EQ(fakes::LogCount(LEVEL_WARN,
                              "LogCompPackageFiles: command is too long[cmdLen=4094], skip file"),
              1);
}

}  // namespace
}  // namespace trigtest
