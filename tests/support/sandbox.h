#pragma once
// Every test process runs in a fresh private folder: HOME, the XDG folders and
// TMPDIR point into it, so no test touches the real home or temporary folder.

#include <QString>

namespace sandbox {

// Creates the folder and points the environment at it; called once by the test main.
void enter();
// Removes the folder; called at the end of the test main.
void leave();

QString root();
QString home();
QString tmp();          // TMPDIR: the program's private temporary folder
QString configHome();   // XDG_CONFIG_HOME
QString dataHome();     // XDG_DATA_HOME
QString desktop();

// A fresh empty folder inside the sandbox, for one test.
QString freshFolder(const QString& name);

}  // namespace sandbox
