// Shared by the fakes: one lock for all their state, and one condition variable that every
// fake event signals, so that fakes::WaitUntil wakes on anything that may have changed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace fakes::detail {

std::mutex& Mu();
std::condition_variable& Cv();
// Bumps the event counter and wakes every waiter; call with Mu() held.
void SignalLocked();
uint64_t EpochLocked();

void ResetLog();
void ResetLoop();
void ResetCompress();
void ResetShell();
void ResetDevice();

}  // namespace fakes::detail
