// Restore and crash recovery with the real tar on real archives: only missing files come
// back, nothing is replaced, hostile members and paths are never followed, and each kind of
// leftover a dead process can leave is resolved from its record.
#include <sys/stat.h>

#include "fileUtils/file_compress.h"
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

const std::string kP1 = "2026-12-01.log";
const std::string kP2 = "csms-broker-2026-12-01.log";
const std::string kT = "2026-12-03.log";  // today's: packed, never deleted

std::string Read(const std::string& name) {
    std::string text;
    if (FILE* f = fopen(LogPath(name).c_str(), "r")) {
        char buf[256];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
        fclose(f);
    }
    return text;
}

bool Sh(const std::string& cmd) {
    std::string out;
    return fakes::ShellRunReal(cmd, out) == 0;
}

class TriggerRestore : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        fakes::ShellSetHook(&fakes::ShellRunReal);
        ASSERT_EQ(chdir(kLogDir.c_str()), 0);  // where a stray command would leave traces
        ASSERT_TRUE(Touch(kP1, "p1\n") && Touch(kP2, "p2\n") && Touch(kT, "t\n"));
    }
    // Packs the three logs into `tar` (in the log directory unless absolute), as packaging
    // does, then deletes the past days' files.
    static void Pack(const std::string& tar) {
        setenv("TAR", tar.c_str(), 1);
        ASSERT_TRUE(Sh("cd '" + kLogDir + "' && tar -cf \"$TAR\" " + kP1 + " " + kP2 + " " + kT));
        ASSERT_EQ(unlink(LogPath(kP1).c_str()), 0);
        ASSERT_EQ(unlink(LogPath(kP2).c_str()), 0);
    }
    static std::vector<std::string> Logs() { return {kP1, kP2, kT}; }
};

TEST_F(TriggerRestore, OnlyMissingFilesComeBackAndNothingIsReplaced) {
    const std::string tar = LogPath("out.tar");
    Pack(tar);
    ASSERT_TRUE(Touch(kT, "t\nwritten since\n"));  // today's log went on
    EXPECT_TRUE(LCTRestoreArchive(tar.c_str(), nullptr, nullptr));
    EXPECT_EQ(ListLogDir(), (std::vector<std::string>{kP1, kT, kP2}));
    EXPECT_EQ(Read(kP1), "p1\n");
    EXPECT_EQ(Read(kT), "t\nwritten since\n");
    EXPECT_EQ(ListDir(LCT_RECORD_DIR), std::vector<std::string>{});  // no staging left

    // A file written anew under a missing name while the archive is unpacked wins; the
    // archive, the only copy of the old lines, stays.
    Pack(tar);
    fakes::ShellSetHook([](const std::string& cmd, std::string& out) {
        const int ret = fakes::ShellRunReal(cmd, out);
        Touch(kP2, "new\n");
        return ret;
    });
    EXPECT_FALSE(LCTRestoreArchive(tar.c_str(), nullptr, nullptr));
    EXPECT_EQ(Read(kP2), "new\n");
    EXPECT_EQ(Read(kP1), "p1\n");
    EXPECT_TRUE(Exists(tar));
}

TEST_F(TriggerRestore, ArchivesThatCannotBeTrustedAreKept) {
    struct {
        const char* what;
        std::string spoil;  // shell run in the log directory after packing out.tar
        int shellCalls;
    } cases[] = {
        {"cut short", "truncate -s 1536 out.tar", 0},
        {"not an archive", "echo junk > out.tar", 0},
        {"a link to an archive", "mv out.tar real.tar && ln -s real.tar out.tar", 0},
        {"tar cannot run", "true", -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(Touch(kP1, "p1\n") && Touch(kP2, "p2\n"));
        Pack(LogPath("out.tar"));
        ASSERT_TRUE(Sh("cd '" + kLogDir + "' && " + c.spoil));
        fakes::ResetAll();
        fakes::ShellSetHook([&](const std::string& cmd, std::string& out) {
            return c.shellCalls < 0 ? -1 : fakes::ShellRunReal(cmd, out);
        });
        EXPECT_FALSE(LCTRestoreArchive(LogPath("out.tar").c_str(), nullptr, nullptr));
        EXPECT_FALSE(Exists(LogPath(kP1)));
        EXPECT_TRUE(Exists(LogPath("out.tar")));
        EXPECT_EQ(fakes::ShellCalls().empty(), c.shellCalls == 0);
        EXPECT_EQ(fakes::LogCountContaining("LCTRestoreTarFile: restore failed, output = ") +
                      fakes::LogCountContaining(" kept: 2 packed files are not back"),
                  c.shellCalls == 0 ? 1 : 2);
        Sh("cd '" + kLogDir + "' && rm -f out.tar real.tar");
    }
}

TEST_F(TriggerRestore, HostileMembersAndPathsTouchNothingOutside) {
    // Members that are not plain files with bare names are never unpacked.
    const std::string outside = kLogDir + "/../outside";
    ASSERT_TRUE(Sh("rm -rf '" + outside + "' && mkdir -p '" + outside + "/sub' && cd '" + outside +
                   "' && echo o > sub/x.log && ln -s /etc/passwd link.log && tar -cf '" + kLogDir +
                   "/evil.tar' sub/x.log link.log -C '" + kLogDir + "' " + kP1));
    ASSERT_EQ(unlink(LogPath(kP1).c_str()), 0);
    EXPECT_TRUE(LCTRestoreArchive(LogPath("evil.tar").c_str(), nullptr, nullptr));
    EXPECT_EQ(ListLogDir(), (std::vector<std::string>{kP1, kT, kP2}));
    Sh("rm -rf '" + outside + "'");
    // A path made to break out of the command line, absolute or relative to the log directory.
    const std::string name = "a b;touch p1;$(touch p2)`touch p3`'q\"\nz&&touch p4|x.tar";
    for (const std::string& tar : {LogPath(name), name}) {
        ASSERT_TRUE(Touch(kP1, "p1\n") && Touch(kP2, "p2\n"));
        Pack(tar);
        EXPECT_TRUE(LCTRestoreArchive(tar.c_str(), nullptr, nullptr));
        EXPECT_EQ(ListLogDir(), (std::vector<std::string>{kP1, kT, kP2}));
    }
}

// ---- recovery: a record left by a process that died, and what it finds beside it.

class TriggerRecover : public TriggerRestore {
  protected:
    // A record as a package of the three logs into out.tar would have written it.
    static void RecordPackage(uint64_t id, const std::string& tar) {
        LinkList list = Init_LinkList();
        for (const auto& name : Logs()) {
            auto* cfg = static_cast<FILE_COMPRESS_CONFIG*>(calloc(1, sizeof(FILE_COMPRESS_CONFIG)));
            snprintf(cfg->file, sizeof cfg->file, "%s", name.c_str());
            PushBack_LinkList(list, cfg);
        }
        ASSERT_TRUE(LCTRecordWrite(id, LOG_COMPRESS_OPTION_FULL, tar.c_str(), list));
        LCTListDelAll(list);
    }
    static std::string Temp(const std::string& source) {
        return source + FILE_COMPRESS_TEMP_SUFFIX;
    }
};

TEST_F(TriggerRecover, EachLeftoverIsResolvedFromItsRecord) {
    const std::string tar = LogPath("out.tar");
    struct {
        const char* what;
        std::function<void()> leave;  // what the dead process left beside its record
        std::vector<std::string> after;
    } cases[] = {
        {"archive whole, logs deleted", [&] { Pack(tar); }, {kP1, kT, kP2}},
        {"archive cut, logs in place",
         [&] {
             Pack(tar);
             Touch(kP1, "p1\n"), Touch(kP2, "p2\n");
             Sh("truncate -s 1000 '" + tar + "'");
         },
         {kP1, kT, kP2}},
        {"compressed archive done, .tar left",
         [&] {
             Pack(tar);
             Touch("out.tar.gz", "whole");
             Touch("out.tar~gz", "half");
         },
         {kT, "out.tar.gz"}},
        {"archive's compression half way",
         [&] {
             Pack(tar);
             Touch("out.tar~gz", "half");
         },
         {kP1, kT, kP2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EmptyLogDir();
        ASSERT_TRUE(Touch(kP1, "p1\n") && Touch(kP2, "p2\n") && Touch(kT, "t\n"));
        RecordPackage(3, tar);
        c.leave();
        fakes::LogClear();
        LCTRecoverInLoop(nullptr);
        EXPECT_EQ(ListLogDir(), c.after);
        EXPECT_EQ(ListDir(LCT_RECORD_DIR), std::vector<std::string>{});
        EXPECT_EQ(fakes::LogCountContaining("LCTRecoverInLoop: 1 interrupted tasks resolved"), 1);
    }
    // A compression's record: its files' temporaries go, the files stay.
    LinkList list = Init_LinkList();
    auto* cfg = static_cast<FILE_COMPRESS_CONFIG*>(calloc(1, sizeof(FILE_COMPRESS_CONFIG)));
    snprintf(cfg->file, sizeof cfg->file, "%s", LogPath(kP1).c_str());
    PushBack_LinkList(list, cfg);
    ASSERT_TRUE(LCTRecordWrite(4, LOG_COMPRESS_OPTION_ONLY_COMPRESS, nullptr, list));
    LCTListDelAll(list);
    ASSERT_TRUE(Touch(Temp(kP1), "half"));
    LCTRecoverInLoop(nullptr);
    EXPECT_EQ(ListLogDir(), (std::vector<std::string>{kP1, kT, kP2}));
}

TEST_F(TriggerRecover, UntrustedRecordsTouchNothingTheyDoNotOwn) {
    ASSERT_TRUE(LCTMakeRecordDir());
    struct {
        const char* text;
        const char* name;
    } damaged[] = {
        {"garbage", "task-1"},
        {"logcomp-task 1\noption 1\narchive 9 /x/a.tar\nend\n", "task-2"},   // length lies
        {"logcomp-task 1\noption 1\narchive 9 rel/a.tar\nend\n", "task-3"},  // not absolute
        {"logcomp-task 1\noption 2\nfile 4 ../x\nend\n", "task-4"},          // not a bare name
    };
    for (const auto& d : damaged) {
        const std::string path = std::string(LCT_RECORD_DIR) + "/" + d.name;
        FILE* f = fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        fputs(d.text, f);
        fclose(f);
    }
    // A record naming an archive that holds a member it does not name: never unpacked.
    ASSERT_TRUE(Sh("cd '" + kLogDir + "' && echo x > extra.log && tar -cf out.tar extra.log " +
                   kP1 + " && rm extra.log " + kP1));
    RecordPackage(5, LogPath("out.tar"));
    LCTRecoverInLoop(nullptr);
    EXPECT_EQ(ListLogDir(), (std::vector<std::string>{kP1, kT, kP2}));
    EXPECT_EQ(ListDir(LCT_RECORD_DIR),
              (std::vector<std::string>{"damaged-task-1", "damaged-task-2", "damaged-task-3",
                                        "damaged-task-4"}));
    EXPECT_EQ(fakes::LogCountContaining("LCTRecoverInLoop: damaged record "), 4);
    // Nothing left: no line at all.
    Sh("rm -rf '" LCT_RECORD_DIR "'");
    fakes::LogClear();
    LCTRecoverInLoop(nullptr);
    EXPECT_TRUE(fakes::LogLines().empty());
}

}  // namespace
}  // namespace trigtest
