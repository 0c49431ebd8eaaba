// Entry point: start-up, the script of the run mode, and the standard report of
// an error that nothing else caught.
#include "app/application_extended.h"
#include "setup/setup_application.h"
#include "app/unattended_switches.h"
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>

namespace {

bool displayAvailable()
{
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

// Reads the unattended switches; false (with the reason on standard error) on a usage error.
bool readUnattendedSwitches(const QStringList& arguments)
{
    gUnattended = ParseUnattendedOptions(arguments, HasCmdLineSwitch(QStringLiteral("uninstallnow"), arguments));
    if (gUnattended.UsageError.isEmpty())
        return true;
    std::fprintf(stderr, "vrnsetup: %s\nvrnsetup -help lists the switches.\n",
                 gUnattended.UsageError.toLocal8Bit().constData());
    return false;
}

}  // namespace

int main(int argc, char** argv)
{
    const QStringList arguments = platform::commandLineArguments();
    if (HelpRequested(arguments)) {
        std::fputs(SwitchesHelp().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!readUnattendedSwitches(arguments))
        return ecUsage;
    // an unattended run needs no display: its window is never shown
    if (gUnattended.Silent && !displayAvailable())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!displayAvailable()) {
        std::fprintf(stderr, "vrnsetup: no display to show the setup window on "
                             "(set DISPLAY, or QT_QPA_PLATFORM=offscreen for a run without a window)\n");
        return 1;
    }
    int exitCode = 0;
    try {
        CSetup::Initialize(argc, argv);
        CSetup::Main();
        exitCode = CSetup::ExitCode();
    } catch (const std::exception& error) {
        ShowException(errorClassName(error), errorMessage(error));
        exitCode = 1;
    }
    CSetup::Finalize();
    // The counter request runs on a thread nobody waits for and may still be at work: the
    // process ends here without destroying the libraries' statics under it (a crash at exit
    // otherwise). The log is written line by line; the standard streams are flushed.
    std::fflush(nullptr);
    std::quick_exit(exitCode);
}
