// The one wait of the GUI thread. Every wait of that thread (for a worker, a
// started program, a lock, the probe, an HTTP transfer, the companion tool)
// goes through PumpUntil, so the window keeps painting and answering the same
// way in all of them; a job on a worker goes through RunOnWorkerAndWait
// (worker_wait.h), which waits here.
//
// The rule: the wait never sleeps blindly. Between two questions it sleeps
// until input or a message for the application arrives, or until `wake` is
// raised, and handles the messages at once; only the question whether the
// wait is over keeps a fixed rhythm. No kernel object is made for a turn:
// a wait without a signal of its own sleeps on one that is made once and
// never raised.
//
// GUI thread only (the thread that called platform::InitApplication); before
// that it still waits, on the time and the signal alone.
#pragma once

#include <cstdint>
#include <functional>

#include "platform/gui.h"

// Asks `done` at once and then every `pollMs` milliseconds, counted from the
// start of the previous question, until it answers true; in between it
// handles the application's input and messages as they arrive. A raised
// `wake` ends the sleep at once and has `done` asked right away; once raised
// and answered, it no longer cuts the rhythm short. A time limit is part of
// `done`, measured with whatever clock the caller keeps. `done` runs on the
// calling thread and may raise; the error reaches the caller.
//
// `dispatch`, when given, is what handles the messages in each turn instead
// of platform::ProcessMessages: it runs once at the start of every turn and
// again whenever input or a message ends the sleep, so at least every
// `pollMs`. It runs on the calling thread and may raise, as `done` may.
void PumpUntil(const std::function<bool()>& done, std::uint32_t pollMs,
               platform::WakeSignal* wake = nullptr, const std::function<void()>& dispatch = {});
