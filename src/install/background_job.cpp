#include "install/background_job.h"

#include "app/setup_core.h"
#include "app/setup_logging.h"
#include "platform/platform.h"

#include <thread>

namespace {

// A worker that outlives its run (the window was closed) may find its log gone; an
// error that cannot be written must not end the program.
void logError(const QString& line)
{
    try {
        Logger().Error(line);
    } catch (...) {
    }
}

}  // namespace

void StartJobWorker(const std::shared_ptr<TJobRecord>& job, const QString& threadName,
                    const QString& errorPrefix, std::function<void()> work)
{
    std::thread([job, threadName, errorPrefix, work = std::move(work)]() mutable {
        platform::setCurrentThreadName(threadName);
        try {
            work();
        } catch (const std::exception& error) {
            job->ReturnValue = false;
            logError(errorPrefix + errorText(error));
        } catch (...) {
            job->ReturnValue = false;
            logError(errorPrefix + QStringLiteral("Exception: Unknown error"));
        }
        // what the work holds (the run's source) goes before the run may go on and end
        work = nullptr;
        job->done = true;
        CSetupCore::WakeMainThread();
    }).detach();
}

bool WaitForJob(TJobRecord& job)
{
    for (;;) {
        CSetupCore::ProcessOneMessage();
        if (CSetupCore::IsTerminating()) {
            gCancelled = true;
            job.ReturnValue = false;
            return false;
        }
        if (job.done)
            return job.ReturnValue;
    }
}
