// Stopping and starting the trigger again on a real loop. Uninit leaves the release of its
// tasks to the loop; an init before that release has run is refused, and succeeds once the
// loop has run it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "logCompress/LogCompTrigger.h"
#include "tools/loggen/station_log_gen.h"
#include "tests/reliability/rel_fs.h"
#include "tests/reliability/rel_logfile.h"
#include "tests/reliability/rel_realhost.h"

namespace rel {
namespace {

const std::string kLogDir = LOGCOMP_TEST_LOG_DIR;
const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_reinit.log";

// A latch the loop (or a host callback) waits on until the test opens it.
class Latch {
  public:
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool Wait() {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, 60s, [this] { return open_; });
    }

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
};

int CountLogged(const std::string& text) {
    int n = 0;
    for (const auto& r : ReadLogFile(kSinkFile)) n += r.text == text;
    return n;
}

// Uninit and the first init run in one loop task, so the release the uninit queues cannot
// have run yet (the host's timer calls run inline on the loop thread).
TEST(Reinit, AnInitBeforeTheReleaseRanIsRefusedAndSucceedsAfterIt) {
    ASSERT_TRUE(LogToFile(kSinkFile));
    RealLoop loop;
    ASSERT_TRUE(loop.Start());
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    ASSERT_EQ(LogCompTriggerInit(loop.Get(), &config), 0);
    int early = 0;
    ASSERT_TRUE(loop.Run([&] {
        LogCompTriggerUninit();
        early = LogCompTriggerInit(loop.Get(), &config);
    }));
    EXPECT_EQ(early, -1);
    ASSERT_TRUE(loop.Run([] {}));  // the release has run by now
    EXPECT_EQ(LogCompTriggerInit(loop.Get(), &config), 0);
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run([] {}));
    loop.Stop();
    LogToStderr();
    EXPECT_EQ(
        CountLogged("LogCompTriggerInit failed, release of the previous run is still pending"), 1);
}

// A post that passed the running-trigger check just before an uninit goes on after the release
// has run, while a new init starts the trigger again: the init must not write what that post and
// its dispatch use (the loop, the task map) unguarded. ThreadSanitizer reports any such race in
// the TSan build, and LeakSanitizer a map entry lost to a reset of the map.
Latch gInsidePost;
Latch gUninitDone;
bool HoldInsidePost() {
    gInsidePost.Open();
    return gUninitDone.Wait();
}

TEST(Reinit, InitDoesNotRaceWithALateDispatch) {
    ASSERT_TRUE(EmptyDir(kLogDir));
    const std::string today = loggen::UtcDate();
    ASSERT_TRUE(AddDays(kLogDir, {today}, 16 * 1024, 1));
    ASSERT_TRUE(LogToFile(kSinkFile));
    RealLoop loop;
    ASSERT_TRUE(loop.Start());
    LOG_COMP_TRIGGER_CONFIG holding{{2, 0, 0}, &HoldInsidePost};
    ASSERT_EQ(LogCompTriggerInit(loop.Get(), &holding), 0);
    std::thread poster([&] {
        const LOG_COMP_TRIGGER_REQ req =
            MakeReq("late", LOG_COMPRESS_OPTION_ONLY_COMPRESS, today, today);
        EXPECT_EQ(LogCompTriggerPostTask(&req), 0);
    });
    ASSERT_TRUE(gInsidePost.Wait());
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run([] {}));  // the release has run: the guard lets an init through
    gUninitDone.Open();
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    EXPECT_EQ(LogCompTriggerInit(loop.Get(), &config), 0);
    poster.join();
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run([] {}));
    loop.Stop();
    LogToStderr();
}

}  // namespace
}  // namespace rel
