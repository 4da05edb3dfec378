// Restore with the real tar on real archives, including an archive path made to break out
// of the command line.
#include "tests/unit/trigger_fixture.h"

namespace trigtest {
namespace {

class TriggerRestore : public TriggerTest {
  protected:
    void SetUp() override {
        TriggerTest::SetUp();
        fakes::ShellSetHook(&fakes::ShellRunReal);
        ASSERT_EQ(chdir(kLogDir.c_str()), 0);  // where a stray command would leave traces
    }
    // Packs the named files into `tar` inside the log directory and deletes them.
    static void Pack(const std::string& tar, const std::vector<std::string>& files) {
        std::string cmd = "cd '" + kLogDir + "' && tar -cf \"$TAR\"";
        for (const auto& f : files) cmd += " " + f;
        setenv("TAR", tar.c_str(), 1);
        ASSERT_EQ(system(cmd.c_str()), 0);
        for (const auto& f : files) ASSERT_EQ(unlink(LogPath(f).c_str()), 0);
    }
    static std::string Read(const std::string& name) {
        std::string text;
        if (FILE* f = fopen(LogPath(name).c_str(), "r")) {
            char buf[256];
            size_t n;
            while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
            fclose(f);
        }
        return text;
    }
};

TEST_F(TriggerRestore, UnpacksTheArchiveAndRemovesIt) {
    ASSERT_TRUE(Touch("2026-12-02.log", "first\n"));
    ASSERT_TRUE(Touch("csms-broker-2026-12-02.log", "second\n"));
    Pack(LogPath("out.tar"), {"2026-12-02.log", "csms-broker-2026-12-02.log"});
    LCTRestoreTarFile(LogPath("out.tar").c_str());
    EXPECT_EQ(ListLogDir(),
              (std::vector<std::string>{"2026-12-02.log", "csms-broker-2026-12-02.log"}));
    EXPECT_EQ(Read("2026-12-02.log"), "first\n");
    EXPECT_EQ(Read("csms-broker-2026-12-02.log"), "second\n");
    EXPECT_EQ(Errors("LCTRestoreTarFile: restore failed, output = "), 0);
    // Unpacking fails: the archive, or its absence, stays as it was.
    ASSERT_TRUE(Touch("bad.tar", "not an archive"));
    LCTRestoreTarFile(LogPath("bad.tar").c_str());
    EXPECT_TRUE(Exists(LogPath("bad.tar")));
    EXPECT_EQ(fakes::LogCountContaining("LCTRestoreTarFile: restore failed, output = "), 1);
}

TEST_F(TriggerRestore, HostileArchivePathRunsNothingElse) {
    const std::string name = "a b;touch p1;$(touch p2)`touch p3`'q\"\nz&&touch p4|x.tar";
    ASSERT_TRUE(Touch("2026-12-02.log", "kept\n"));
    Pack(LogPath(name), {"2026-12-02.log"});
    ASSERT_EQ(ListLogDir(), std::vector<std::string>{name});
    LCTRestoreTarFile(LogPath(name).c_str());
    EXPECT_EQ(ListLogDir(), std::vector<std::string>{"2026-12-02.log"});
    EXPECT_EQ(Read("2026-12-02.log"), "kept\n");
    // A relative hostile path resolves inside the log directory just the same.
    Pack(name, {"2026-12-02.log"});
    LCTRestoreTarFile(name.c_str());
    EXPECT_EQ(ListLogDir(), std::vector<std::string>{"2026-12-02.log"});
}

}  // namespace
}  // namespace trigtest
