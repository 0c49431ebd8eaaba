#pragma once
// (borrowed placeholder until the uninstaller lands)
class CUnInstallation {
public:
    static void CopyUninstallAndRun() {}
    static void Run() {}
};
