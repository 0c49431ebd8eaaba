#pragma once
// Runs a piece of work on the main thread and waits for it. A worker uses this
// to hand progress to the window, which lives on the main thread; the worker is
// blocked until the main thread's pump has run the work.

#include "platform/platform_errors.h"

#include <functional>

// The program is closing: the main thread will run no more work for workers.
VRN_DECLARE_ERROR(EAbortError, Exception)

// Runs `work` on the main thread: at once when called there, otherwise posted to
// the main thread's queue while the caller waits. An error raised by `work` is
// raised again in the caller. Once the program is terminating (or its
// application object is gone) a waiting caller gets EAbortError instead of
// waiting for a pump that no longer runs.
void RunOnMainThread(const std::function<void()>& work);

// Whether the calling thread is the program's main thread.
bool IsMainThread();
