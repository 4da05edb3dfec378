// Requests end to end on the reference host (real loop, tar and compressor), as the back office
// sends them and as a hostile one would: output paths made to break out of the shell command
// lines, paths that already name something, relative paths, paths inside a log's name, and
// links, FIFOs and directories named like logs. Each request is refused, or packs or compresses
// exactly the plain logs of its days (today's are kept); nothing else is ever created, replaced,
// read through or deleted, in the log directory, the working directory or outside both.
#include <gtest/gtest.h>

#include "logCompress/LogCompTriggerInternal.h"
#include "tests/support/realhost.h"

namespace rel {
namespace {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kCwd = LOGCOMP_BINARY_DIR "/trigger_hostile_cwd";
const std::string kOutside = LOGCOMP_BINARY_DIR "/trigger_hostile_outside";

// Every entry under dir: a file as its bytes, a link as "-> target", a directory as "dir"
// followed by its entries, anything else as "other".
void Snap(const std::string& dir, const std::string& prefix,
          std::map<std::string, std::string>& out) {
    for (const auto& name : ListDir(dir)) {
        const std::string path = dir + "/" + name;
        std::string& v = out[prefix + name];
        struct stat st {};
        lstat(path.c_str(), &st);
        char target[4096];
        if (S_ISREG(st.st_mode)) {
            ReadFile(path, &v);
        } else if (S_ISLNK(st.st_mode)) {
            v = "-> " + std::string(target, std::max<ssize_t>(
                                                0, readlink(path.c_str(), target, sizeof target)));
        } else if (S_ISDIR(st.st_mode)) {
            v = "dir";
            Snap(path, prefix + name + "/", out);
        } else {
            v = "other";
        }
    }
}
std::map<std::string, std::string> Snap(const std::string& dir) {
    std::map<std::string, std::string> out;
    Snap(dir, "", out);
    return out;
}

class TriggerHostileE2E : public ::testing::Test {
  protected:
    void SetUp() override {
        // Stray commands would run in the log directory (after its "cd") or in the working
        // directory; both are watched, and so is a directory outside both.
        ASSERT_TRUE(EmptyDir(kCwd) && EmptyDir(kOutside) &&
                    WriteFile(kOutside + "/secret.log", "secret\n") && chdir(kCwd.c_str()) == 0);
        gResults.Clear();
        ASSERT_TRUE(LogToFile(LOGCOMP_BINARY_DIR "/trigger_e2e.log"));
        LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
        ASSERT_TRUE(loop_.Start() && LogCompTriggerInit(loop_.Get(), &config) == 0);
    }
    void TearDown() override {
        LogCompTriggerUninit();
        EXPECT_TRUE(loop_.Run());  // the release queued by the uninit has run
        loop_.Stop();
        LogToStderr();
        EXPECT_TRUE(Snap(kCwd).empty());
        EXPECT_EQ(Snap(kOutside), (std::map<std::string, std::string>{{"secret.log", "secret\n"}}));
        EXPECT_EQ(chdir(LOGCOMP_BINARY_DIR), 0);
        Shell("rm -rf '" + kCwd + "' '" + kOutside + "'");
    }
    // The release follows the requester's result.
    bool WaitMapEmpty() {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        for (size_t n = 1; n != 0 && std::chrono::steady_clock::now() < deadline;) {
            loop_.Run([&] { n = HASH_COUNT(sLogCompTriggerObj.pTaskMap); });
            if (n == 0) return true;
        }
        return false;
    }
    RealLoop loop_;
};

enum Outcome { kRefused, kPacked, kCompressed };

void Replace(const std::string& name, const std::string& with) {
    const std::string path = kLogDir + "/" + name;
    ASSERT_TRUE(Shell("rm -f '" + path + "' && " + with + " '" + path + "'"));
}

TEST_F(TriggerHostileE2E, EachRequestIsRefusedOrTakesExactlyThePlainLogs) {
    const Days d = TheDays();
    const std::string dir = kLogDir + "/";
    const std::string csms = d.p3 + "-csms.log";
    const std::string shell = d.p3 + "-network-shell.log";
    auto secretAs = [&](const std::string& name) {
        return [&, name] { Replace(name, "ln -s '" + kOutside + "/secret.log'"); };
    };
    struct Case {
        std::string output;  // empty: a compress-only request
        Outcome outcome;
        std::function<void()> prepare = [] {};
        std::string skipped = "";  // named like a log, not a plain file
        bool today = false;        // the range ends today rather than yesterday
    };
    const std::vector<Case> cases = {
        {dir + "two-days.tar.gz", kPacked, [] {}, "", true},
        {"", kCompressed, [] {}, "", true},
        {dir + "with space.tar.gz", kPacked},
        {dir + "qu'ote\"s.tar.gz", kPacked},
        {dir + "semi;touch SEMI;.tar.gz", kPacked},
        {dir + "$(touch DOLLAR).tar.gz", kPacked},
        {dir + "`touch BACKTICK`.tar.gz", kPacked},
        {dir + "new\nline; touch NL.tar.gz", kPacked},
        {dir + "a && rm -rf * || x.tar.gz", kPacked},
        {"-rf.tar.gz", kRefused},
        {"--to-command=touch TOCMD.tar.gz", kRefused},
        {"evil:touch RSH.tar.gz", kRefused},
        {dir + "at 10:30.tar.gz", kPacked},  // a colon after a slash names no remote host
        // The longest path a request can carry compresses: its temporary fits as well.
        {dir + std::string(255 - dir.size() - 7, 'L') + ".tar.gz", kPacked},
        // Relative: tar and the compressor would each resolve it elsewhere.
        {"rel.tar.gz", kRefused, [] { WriteFile(kCwd + "/rel.tar", "mine\n"); }},
        // A firmware bundle and its archive are nobody's logs: never replaced, never deleted.
        {dir + "bundle.tar.gz", kRefused, [&] { WriteFile(dir + "bundle.tar", "fw\n"); }},
        {dir + "bundle.tar.gz", kRefused, [&] { WriteFile(dir + "bundle.tar.gz", "fw\n"); }},
        // Inside an entry named like one of the day's logs: packing it would take the archive.
        {dir + shell + "/x.tar.gz", kRefused, [&] { Replace(shell, "mkdir"); }},
        {dir + "linked.tar.gz", kPacked, secretAs(csms), csms},
        {"", kCompressed, secretAs(csms), csms},
        {"", kCompressed, [&] { Replace(shell, "mkfifo"); }, shell},
        {"", kCompressed, [&] { Replace(shell, "mkdir"); }, shell},
    };
    size_t heard = 0;
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::to_string(i) + ": " + c.output);
        ASSERT_TRUE(EmptyDir(kLogDir));
        ASSERT_TRUE(loggen::GenerateDay(kLogDir, d.p3, {i + 1, 64 << 10}));
        ASSERT_TRUE(loggen::GenerateDay(kLogDir, d.t, {i + 1, 32 << 10}));
        c.prepare();
        const auto before = Snap(kLogDir);
        const auto cwdBefore = Snap(kCwd);
        const std::string id = "hostile" + std::to_string(i);
        const int option =
            c.output.empty() ? LOG_COMPRESS_OPTION_ONLY_COMPRESS : LOG_COMPRESS_OPTION_FULL;
        const auto req = MakeReq(id, option, d.p3, c.today ? d.t : d.p3, c.output);
        ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
        ASSERT_TRUE(loop_.Run());  // the dispatch has run
        EXPECT_EQ(Snap(kCwd), cwdBefore);
        unlink((kCwd + "/rel.tar").c_str());
        if (c.outcome == kRefused) {
            EXPECT_EQ(Snap(kLogDir), before);
            continue;
        }
        ASSERT_TRUE(gResults.WaitCount(++heard));
        ASSERT_TRUE(WaitMapEmpty());
        EXPECT_EQ(gResults.All().back().id, id);
        EXPECT_EQ(gResults.All().back().result, LOG_COMP_TRIGGER_RESULT_SUCCESS);
        const auto after = Snap(kLogDir);
        setenv("OUT", c.output.c_str(), 1);
        std::set<std::string> want;
        std::string members;
        for (const auto& date : {d.p3, d.t}) {
            const bool taken = date == d.p3 || c.today;
            for (const auto& n : loggen::DayFileNames(date)) {
                if (date == d.t || n == c.skipped || !taken) {  // kept as it was
                    want.insert(n);
                    EXPECT_TRUE(after.count(n) == 1 && after.at(n) == before.at(n)) << n;
                }
                if (!taken || n == c.skipped) continue;
                std::string text;
                if (c.outcome == kCompressed) {
                    want.insert(n + ".gz");
                    EXPECT_TRUE(Shell("gzip -dc '" + dir + n + ".gz'", &text) &&
                                text == before.at(n))
                        << n;
                } else {
                    members += n + "\n";
                    EXPECT_TRUE(Shell("tar -xzOf \"$OUT\" " + n, &text) && text == before.at(n))
                        << n;
                }
            }
        }
        if (c.outcome == kPacked) {
            want.insert(c.output.substr(dir.size()));
            std::string listed;
            EXPECT_TRUE(Shell("tar -tzf \"$OUT\"", &listed));
            EXPECT_EQ(listed, members);
        }
        std::set<std::string> names;
        for (const auto& [name, bytes] : after) {
            if (name.find('/') == std::string::npos) names.insert(name);
        }
        EXPECT_EQ(names, want);
    }
    EXPECT_EQ(gResults.All().size(), heard);
}

}  // namespace
}  // namespace rel
