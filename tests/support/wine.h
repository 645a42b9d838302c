// Running the Windows build under Wine: where the prefix is, whether Wine can
// run a given exe, and pointing a COM port of the prefix at a pseudo-terminal.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The prefix from DOWNLOAD_WINEPREFIX, or "" when unset.
std::string winePrefix();
// True when wine, the prefix and the given exe exist; else false with the reason in *why.
bool wineReady(const std::string& exe, std::string* why);
// True when DOWNLOAD_REQUIRE_WINE=1: a missing Wine is then a failure, not a skip.
bool wineRequired();

// Makes sure a persistent wineserver and Wine's services run for the prefix,
// started with their output on /dev/null. Otherwise the first wine of a test
// starts them, they inherit its output pipe, and reading that output to its
// end waits until they exit. Cheap when they already run.
void startWineServer();

// Skips the test when Wine is not ready, or fails it when DOWNLOAD_REQUIRE_WINE=1.
// Then starts the wineserver (see above).
#define REQUIRE_WINE(exe)                                                       \
    do {                                                                        \
        std::string wineWhy_;                                                   \
        if (!wineReady((exe), &wineWhy_)) {                                     \
            if (wineRequired()) GTEST_FAIL() << "Wine not ready: " << wineWhy_; \
            GTEST_SKIP() << "Wine not ready: " << wineWhy_;                     \
        }                                                                       \
        startWineServer();                                                      \
    } while (0)

// Points COMn of the prefix at a device path (symlink dosdevices/comN), replacing any link.
void linkWineComPort(int n, const std::string& devicePath);
void unlinkWineComPort(int n);
// {"/usr/bin/wine", exe, args...}
std::vector<std::string> wineCommand(const std::string& exe, const std::vector<std::string>& args);
// {"WINEPREFIX=<prefix>", "WINEDEBUG=-all"} for ProcessOptions::environment
std::vector<std::string> wineEnvironment();
