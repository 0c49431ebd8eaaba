// The main of every test program: a private sandbox, the offscreen platform,
// the program's application object and a scripted user for dialogs.
#include "app/application_extended.h"
#include "support/recording_dialogs.h"
#include "support/sandbox.h"

#include <gmock/gmock.h>

int main(int argc, char** argv)
{
    ::testing::InitGoogleMock(&argc, argv);
    sandbox::enter();
    int result = 0;
    {
        TApplication app(argc, argv);
        platform::setDialogHandler(&testDialogs());
        result = RUN_ALL_TESTS();
    }
    sandbox::leave();
    return result;
}
