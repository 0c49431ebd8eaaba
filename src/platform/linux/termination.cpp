// A request to end the program from outside (SIGTERM when the session closes, SIGINT
// from a terminal) reaches the main thread as an ordinary event: the signal handler
// only writes to a pipe that the main thread's event loop watches.
#include "platform/platform.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

int wakePipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe[1], &byte, 1);
}

}  // namespace

void onTerminationRequest(std::function<void()> handler)
{
    if (wakePipe[0] < 0 && ::pipe2(wakePipe, O_CLOEXEC | O_NONBLOCK) != 0)
        throw EOSError(QStringLiteral("Cannot watch for termination requests: %1").arg(systemErrorText(errno)));
    auto* notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, notifier, [handler = std::move(handler)] {
        char bytes[16];
        while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
        }
        handler();
    });
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

}  // namespace platform
