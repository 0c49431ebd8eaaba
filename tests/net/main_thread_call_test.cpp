// The synchronous hand-off of work from a worker to the main thread.
#include "net/main_thread_call.h"
#include "net_test_support.h"
#include "platform/platform_errors.h"

#include <QCoreApplication>
#include <QWidget>

#include <gtest/gtest.h>

using namespace nettest;

TEST(RunOnMainThread, RunsTheWorkOnTheMainThreadInOrderWhileItPumps)
{
    std::vector<int> order;
    bool onMain = true;
    EXPECT_TRUE(runWhilePumping([&] {
        for (int i = 0; i < 5; ++i)
            RunOnMainThread([&, i] {
                order.push_back(i);
                onMain = onMain && IsMainThread();
            });
    }));
    EXPECT_EQ(order, std::vector<int>({0, 1, 2, 3, 4}));
    EXPECT_TRUE(onMain);
}

TEST(RunOnMainThread, TheWorkerWaitsUntilThePumpRuns)
{
    std::atomic<bool> ran{false};
    std::atomic<bool> resumed{false};
    std::thread worker([&] {
        RunOnMainThread([&] { ran = true; });
        resumed = true;
        CSetupCore::WakeMainThread();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_FALSE(ran) << "nothing runs while the main thread does not pump";
    EXPECT_FALSE(resumed);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!resumed && std::chrono::steady_clock::now() < deadline)
        CSetupCore::ProcessOneMessage();
    if (!resumed)
        std::abort();  // a hung hand-off must fail the test, not block it
    worker.join();
    EXPECT_TRUE(ran);
    EXPECT_TRUE(resumed);
}

TEST(RunOnMainThread, AnErrorInTheWorkIsRaisedAgainInTheWorker)
{
    QString caught;
    EXPECT_TRUE(runWhilePumping([&] {
        try {
            RunOnMainThread([] { throw EInOutError(QStringLiteral("window closed")); });
        } catch (const Exception& error) {
            caught = error.className() + QStringLiteral(": ") + error.message();
        }
    }));
    EXPECT_EQ(caught, QStringLiteral("EInOutError: window closed"));
}

// The terminating state never clears, so this runs in a process of its own.
TEST(RunOnMainThreadDeathTest, AWaitingWorkerGivesUpOnceTheWindowIsClosed)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            QWidget window;
            CSetupCore::MarkAsMainWindow(&window);
            window.show();
            std::atomic<bool> ran{false};
            std::atomic<bool> aborted{false};
            std::thread worker([&] {
                try {
                    RunOnMainThread([&] { ran = true; });
                } catch (const EAbortError&) {
                    aborted = true;
                }
            });
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            window.close();  // the main thread stops pumping for workers from here on
            worker.join();
            QCoreApplication::processEvents();  // the abandoned work must not run late either
            std::exit(aborted && !ran ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
