#pragma once
// The wait pattern of every long job of the scripts: a reference-counted job record
// shared by the main thread and a worker, the worker started without a handle, and a
// loop on the main thread that pumps window messages until the worker reports done.

#include <QString>

#include <atomic>
#include <functional>
#include <memory>

// What every job record holds. The worker writes ReturnValue before done; the main
// thread reads done before ReturnValue.
struct TJobRecord {
    virtual ~TJobRecord() = default;
    std::atomic<bool> done{false};
    std::atomic<bool> ReturnValue{false};
};

// Runs `work` on a new thread named `threadName` that holds its own reference to `job`
// and frees itself. An error escaping `work` is logged as an ERROR line with
// `errorPrefix`, leaves ReturnValue false, and still ends the wait: done is always set.
void StartJobWorker(const std::shared_ptr<TJobRecord>& job, const QString& threadName,
                    const QString& errorPrefix, std::function<void()> work);

// Pumps the main thread's messages until the job is done. Once the program is
// terminating it sets gCancelled, clears ReturnValue and returns false at once.
// At least one pump step runs per call.
bool WaitForJob(TJobRecord& job);
