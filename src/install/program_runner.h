#pragma once
// Runs an external program (the graphics runtime's web installer) while the main
// thread keeps the window alive.

#include <QString>

// Starts `file` with the quiet switch "/Q" and pumps the main thread's messages until
// it has ended. False when it could not be started. Main thread only.
bool RunAndWait(const QString& file);
