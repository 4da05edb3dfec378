// Starting the trigger again on a real loop while a post is half way through. Uninit leaves
// the release of its tasks to the loop (an init before it ran is refused: shown on the fakes);
// a post that passed the running-trigger check just before the uninit goes on after the release
// has run, while a new init starts the trigger again. The init must not write what that post
// and its dispatch use (the loop, the task map) unguarded: ThreadSanitizer reports any such race
// in the TSan build, and LeakSanitizer a map entry lost to a reset of the map.
#include <gtest/gtest.h>

#include "tests/support/realhost.h"

namespace rel {
namespace {

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
    ASSERT_TRUE(LogToFile(LOGCOMP_BINARY_DIR "/rel_reinit.log"));
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
