#pragma once
// The spine of the program: start-up before any window exists, the choice of
// run mode, edition and language alias, the log of the run, and the hand-over
// of the main thread to the script of the run mode.

#include "app/run_state.h"

#include <QString>

#include <memory>

class TApplication;
class TAnswerPolicy;
namespace platform {
class FileLock;
}

TRunMode GetRunMode();
// The log file name of a run mode.
QString LogFileName(TRunMode mode);

class CSetup {
public:
    static void Initialize(int& argc, char** argv);
    static void Main();
    // The process's exit code once Main has returned: 0 for an interactive run, the
    // outcome's code for an unattended one.
    static int ExitCode();
    // Process-level clean-up: destroys the application object and its windows.
    static void Finalize();

private:
    static void clearTemp();
    static void runScriptOfMode();
    static void reportAnotherRun();
    static std::unique_ptr<platform::FileLock> runLock;
    static std::unique_ptr<TApplication> application;
    static std::unique_ptr<TAnswerPolicy> answers;
    static int exitCode;
};
