#include "install/program_runner.h"

#include "app/setup_core.h"
#include "platform/platform.h"

bool RunAndWait(const QString& file)
{
    const auto program = platform::startProgram(file, {QStringLiteral("/Q")});
    if (!program)
        return false;
    // the end of the program wakes the pump, so each step waits without spinning
    while (program->isRunning())
        CSetupCore::ProcessOneMessage();
    return true;
}
