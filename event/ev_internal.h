// Shared by the loop and its timers; not part of the host API.
#pragma once

struct EvLoop;

// Runs fn(arg) on the loop's thread and returns once it has run. Runs it at once when
// called on the loop thread, or while no thread runs the loop (then under the loop's lock,
// so that no run can start meanwhile).
void EvLoopCallSync(struct EvLoop* loop, void (*fn)(void*), void* arg);
