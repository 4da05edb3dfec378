// Stopping and starting the trigger again on a real loop. Uninit leaves the release of its
// tasks to the loop: an init before that release has run is refused, and succeeds once the loop
// has run it; a post that was half way through across the uninit races with nothing.
#include <gtest/gtest.h>

#include "tests/support/realhost.h"

namespace rel {
namespace {

const std::string kSinkFile = LOGCOMP_BINARY_DIR "/rel_reinit.log";

// Uninit and the first init run in one loop task, so the release the uninit queues cannot have
// run yet (the host's timer calls run inline on the loop thread).
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
    ASSERT_TRUE(loop.Run());  // the release has run by now
    EXPECT_EQ(LogCompTriggerInit(loop.Get(), &config), 0);
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run());
    loop.Stop();
    LogToStderr();
    EXPECT_EQ(
        CountLogged(kSinkFile,
                    "LogCompTriggerInit failed, release of the previous run is still pending"),
        1);
}

// A post that passed the running-trigger check just before an uninit goes on after the release
// has run, while a new init starts the trigger again: the init must not write what that post and
// its dispatch use (the loop, the task map) unguarded. ThreadSanitizer reports any such race in
// the TSan build, and LeakSanitizer a map entry lost to a reset of the map.
std::promise<void> gInsidePost;
std::promise<void> gUninitDone;
bool HoldInsidePost() {
    static std::once_flag once;
    static std::shared_future<void> uninitDone = gUninitDone.get_future();
    std::call_once(once, [] { gInsidePost.set_value(); });
    return uninitDone.wait_for(60s) == std::future_status::ready;
}

TEST(Reinit, InitDoesNotRaceWithALateDispatch) {
    const std::string today = loggen::UtcDate();
    ASSERT_TRUE(EmptyDir(LOGCOMP_TEST_LOG_DIR));
    ASSERT_TRUE(AddDays(LOGCOMP_TEST_LOG_DIR, {today}, 16 << 10, 1));
    ASSERT_TRUE(LogToFile(kSinkFile));
    RealLoop loop;
    ASSERT_TRUE(loop.Start());
    LOG_COMP_TRIGGER_CONFIG holding{{2, 0, 0}, &HoldInsidePost};
    ASSERT_EQ(LogCompTriggerInit(loop.Get(), &holding), 0);
    std::thread poster([&] {
        const auto req = MakeReq("late", LOG_COMPRESS_OPTION_ONLY_COMPRESS, today, today);
        EXPECT_EQ(LogCompTriggerPostTask(&req), 0);
    });
    ASSERT_EQ(gInsidePost.get_future().wait_for(60s), std::future_status::ready);
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run());  // the release has run: the guard lets an init through
    gUninitDone.set_value();
    LOG_COMP_TRIGGER_CONFIG config{{2, 0, 0}, nullptr};
    EXPECT_EQ(LogCompTriggerInit(loop.Get(), &config), 0);
    poster.join();
    LogCompTriggerUninit();
    ASSERT_TRUE(loop.Run());
    loop.Stop();
    LogToStderr();
}

}  // namespace
}  // namespace rel
