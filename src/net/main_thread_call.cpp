#include "net/main_thread_call.h"

#include "app/setup_core.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QSemaphore>

#include <atomic>
#include <exception>
#include <memory>
#include <thread>

namespace {

// Static initialisation runs on the thread that starts the program.
const std::thread::id mainThread = std::this_thread::get_id();

bool mainThreadGone()
{
    return CSetupCore::IsTerminating() || !QCoreApplication::instance();
}

// One hand-off, shared by the waiting worker and the queued work, which may
// outlive the wait when the worker gives up.
struct HandOff {
    QSemaphore done;
    std::exception_ptr failure;
    std::atomic<bool> abandoned{false};
};

}  // namespace

bool IsMainThread()
{
    return std::this_thread::get_id() == mainThread;
}

void RunOnMainThread(const std::function<void()>& work)
{
    if (IsMainThread()) {
        work();
        return;
    }
    const EAbortError closing(QStringLiteral("The program is closing."));
    if (mainThreadGone())
        throw closing;
    auto handOff = std::make_shared<HandOff>();
    // The error cannot cross the queue as an exception: it is carried back and
    // raised again here, on the waiting worker.
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [handOff, work] {
            if (!handOff->abandoned) {
                try {
                    work();
                } catch (...) {
                    handOff->failure = std::current_exception();
                }
            }
            handOff->done.release();
        },
        Qt::QueuedConnection);
    while (!handOff->done.tryAcquire(1, 100)) {
        if (mainThreadGone()) {
            handOff->abandoned = true;
            throw closing;
        }
    }
    if (handOff->failure)
        std::rethrow_exception(handOff->failure);
}
