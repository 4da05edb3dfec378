// Waiting without sleeping: every fake event bumps an epoch under the shared lock.
#include "fake_internal.h"
#include "tests/fakes/fakes.h"

namespace fakes {
namespace detail {

namespace {
uint64_t gEpoch = 0;
}

std::mutex& Mu() {
    static std::mutex mu;
    return mu;
}

std::condition_variable& Cv() {
    static std::condition_variable cv;
    return cv;
}

void SignalLocked() {
    ++gEpoch;
    Cv().notify_all();
}

uint64_t EpochLocked() {
    return gEpoch;
}

}  // namespace detail

void NotifyAll() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    detail::SignalLocked();
}

bool WaitUntil(const std::function<bool()>& pred, milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> lock(detail::Mu());
            seen = detail::EpochLocked();
        }
        // pred runs unlocked: it may call back into the fakes.
        if (pred()) return true;
        std::unique_lock<std::mutex> lock(detail::Mu());
        if (!detail::Cv().wait_until(lock, deadline,
                                     [&] { return detail::EpochLocked() != seen; })) {
            lock.unlock();
            return pred();
        }
    }
}

void Gate::Open() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    open_ = true;
    detail::SignalLocked();
}

void Gate::Close() {
    std::lock_guard<std::mutex> lock(detail::Mu());
    open_ = false;
}

bool Gate::IsOpen() const {
    std::lock_guard<std::mutex> lock(detail::Mu());
    return open_;
}

bool Gate::Wait(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(detail::Mu());
    return detail::Cv().wait_for(lock, timeout, [&] { return open_; });
}

void ResetAll() {
    detail::ResetLoop();
    detail::ResetLog();
    detail::ResetCompress();
    detail::ResetShell();
    detail::ResetDevice();
    ClearNow();
    NotifyAll();
}

}  // namespace fakes
