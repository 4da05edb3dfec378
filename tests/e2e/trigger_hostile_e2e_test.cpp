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

// Every entry under dir: a link as "-> target", a directory as "dir" followed by its entries, a
// .gz as what gzip gives, a .tar.gz as its member list and then its members' bytes, another
// file as its bytes, anything else as "other".
std::map<std::string, std::string> Snap(const std::string& dir, const std::string& prefix = "") {
    std::map<std::string, std::string> out;
    for (const auto& name : ListDir(dir)) {
        const std::string path = dir + "/" + name;
        std::string& v = out[prefix + name];
        struct stat st {};
        char target[4096];
        lstat(path.c_str(), &st);
        setenv("SNAP", path.c_str(), 1);
        if (S_ISREG(st.st_mode) && EndsWith(name, ".tar.gz"))
            Shell("tar -tzf \"$SNAP\" && tar -xzOf \"$SNAP\"", &v);
        else if (S_ISREG(st.st_mode) && EndsWith(name, ".gz"))
            Shell("gzip -dc \"$SNAP\"", &v);
        else if (S_ISREG(st.st_mode))
            ReadFile(path, &v);
        else if (S_ISLNK(st.st_mode))
            v = "-> " + std::string(target, std::max<ssize_t>(
                                                0, readlink(path.c_str(), target, sizeof target)));
        else if (S_ISDIR(st.st_mode))
            v = "dir", out.merge(Snap(path, prefix + name + "/"));
        else
            v = "other";
    }
    return out;
}

void Replace(const std::string& name, const std::string& with) {
    const std::string path = kLogDir + "/" + name;
    ASSERT_TRUE(Shell("rm -f '" + path + "' && " + with + " '" + path + "'"));
}

enum Outcome { kRefused, kPacked, kCompressed };

TEST(TriggerHostileE2E, EachRequestIsRefusedOrTakesExactlyThePlainLogs) {
    // Stray commands would run in the log directory (after its "cd") or in the working
    // directory; both are watched, and so is a directory outside both.
    gResults.Clear();
    TriggerHost host;
    ASSERT_TRUE(EmptyDir(kCwd) && EmptyDir(kOutside) &&
                WriteFile(kOutside + "/secret.log", "secret\n") && chdir(kCwd.c_str()) == 0 &&
                host.Start(LOGCOMP_BINARY_DIR "/trigger_e2e.log"));

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
    // clang-format off
    const std::vector<Case> cases = {
        {dir + "two-days.tar.gz", kPacked, [] {}, "", true}, {"", kCompressed, [] {}, "", true},
        {dir + "with space.tar.gz", kPacked}, {dir + "qu'ote\"s.tar.gz", kPacked},
        {dir + "semi;touch SEMI;.tar.gz", kPacked}, {dir + "$(touch DOLLAR).tar.gz", kPacked},
        {dir + "`touch BACKTICK`.tar.gz", kPacked}, {dir + "new\nline; touch NL.tar.gz", kPacked},
        {dir + "a && rm -rf * || x.tar.gz", kPacked}, {"-rf.tar.gz", kRefused},
        {"--to-command=touch TOCMD.tar.gz", kRefused}, {"evil:touch RSH.tar.gz", kRefused},
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
    // clang-format on
    size_t heard = 0;
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        SCOPED_TRACE(std::to_string(i) + ": " + c.output);
        ASSERT_TRUE(EmptyDir(kLogDir) && loggen::GenerateDay(kLogDir, d.p3, {i + 1, 64 << 10}) &&
                    loggen::GenerateDay(kLogDir, d.t, {i + 1, 32 << 10}));
        c.prepare();
        auto want = Snap(kLogDir);
        const auto cwdBefore = Snap(kCwd);
        const std::string id = "hostile" + std::to_string(i);
        const auto req = MakeReq(
            id, c.output.empty() ? LOG_COMPRESS_OPTION_ONLY_COMPRESS : LOG_COMPRESS_OPTION_FULL,
            d.p3, c.today ? d.t : d.p3, c.output);
        ASSERT_EQ(LogCompTriggerPostTask(&req), 0);
        ASSERT_TRUE(host.loop.Run());  // the dispatch has run
        EXPECT_EQ(Snap(kCwd), cwdBefore);
        unlink((kCwd + "/rel.tar").c_str());
        if (c.outcome != kRefused) {
            ASSERT_TRUE(gResults.WaitCount(++heard));
            // The release follows the requester's result.
            size_t left = 1;
            Until([&] {
                return host.loop.Run([&] { left = HASH_COUNT(sLogCompTriggerObj.pTaskMap); }) &&
                       left == 0;
            });
            const auto last = gResults.All().back();
            EXPECT_EQ(std::make_tuple(left, last.id, last.result),
                      std::make_tuple(size_t{0}, id, int{LOG_COMP_TRIGGER_RESULT_SUCCESS}));
        }
        // What the request takes: the plain logs of its days in the order of the names, today's
        // kept as they are.
        std::string members, bytes;
        for (const auto& date : c.today ? std::vector{d.p3, d.t} : std::vector{d.p3}) {
            for (const auto& n : loggen::DayFileNames(date)) {
                if (c.outcome == kRefused || n == c.skipped) continue;
                if (c.outcome == kCompressed) want[n + ".gz"] = want[n];
                members += n + "\n";
                bytes += want[n];
                if (date != d.t) want.erase(n);
            }
        }
        if (c.outcome == kPacked) want[c.output.substr(dir.size())] = members + bytes;
        EXPECT_EQ(Snap(kLogDir), want);
    }
    EXPECT_EQ(gResults.All().size(), heard);

    EXPECT_TRUE(host.Stop());
    EXPECT_TRUE(Snap(kCwd).empty());
    EXPECT_EQ(Snap(kOutside), (std::map<std::string, std::string>{{"secret.log", "secret\n"}}));
    EXPECT_EQ(chdir(LOGCOMP_BINARY_DIR), 0);
    Shell("rm -rf '" + kCwd + "' '" + kOutside + "'");
}

}  // namespace
}  // namespace rel
