#pragma once
// Runs a piece of work on the main thread and waits for it. A worker uses this
// to hand progress to the window, which lives on the main thread; the worker is
// blocked until the main thread's pump has run the work.

#include <functional>

// Runs `work` on the main thread: at once when called there (or when there is no
// application object), otherwise posted to the main thread's queue while the
// caller waits. An error raised by `work` is raised again in the caller.
void RunOnMainThread(const std::function<void()>& work);

// Whether the calling thread is the application's main thread.
bool IsMainThread();
