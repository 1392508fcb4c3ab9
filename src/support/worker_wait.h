// A job on a worker thread while the GUI thread waits for it: the window keeps
// painting and answering, because the wait is PumpUntil's (gui_wait.h).
#pragma once

#include <cstdint>
#include <functional>

// Runs `work` on a new worker thread and waits for it on the calling (GUI)
// thread through PumpUntil: the messages are handled as they arrive (by
// `dispatch` when given, as PumpUntil describes), and the worker's end, which
// it raises as its last act, ends the wait at once; `pollMs` only bounds a
// sleep that missed it. Returns once the worker has ended and has been
// joined, so everything `work` was bound to outlives it; the function itself
// is destroyed on the worker. No error crosses the thread: one that escapes
// `work` ends the worker, and the answer is false; true when `work` returned.
// An error of `dispatch` reaches the caller after the worker has been joined
// (without handling messages meanwhile); a thread that cannot be made raises
// std::system_error before anything ran.
bool RunOnWorkerAndWait(std::function<void()> work, std::uint32_t pollMs,
                        const std::function<void()>& dispatch = {});
