#include "net/main_thread_call.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <exception>

bool IsMainThread()
{
    const QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

void RunOnMainThread(const std::function<void()>& work)
{
    if (IsMainThread()) {
        work();
        return;
    }
    // The error cannot cross the queue as an exception: it is carried back and
    // raised again here, on the waiting worker.
    std::exception_ptr failure;
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [&work, &failure] {
            try {
                work();
            } catch (...) {
                failure = std::current_exception();
            }
        },
        Qt::BlockingQueuedConnection);
    if (failure)
        std::rethrow_exception(failure);
}
