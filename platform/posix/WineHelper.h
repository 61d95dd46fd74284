// Wine's close helper, run from Linux in our Wine prefix (WineHelper.cpp).
//
// How PostMessageA and TerminateProcess reach a Windows program under Wine
// (platform/Win32.h). The helper is kivra-close-win32.exe or
// kivra-close-win64.exe, for the kind of our prefix (its system.reg's
// "#arch=" line; a prefix without one is a 32-bit prefix of old), beside the
// running executable (a build's bin/) or in the library folder of the prefix
// it is installed in (bin/../lib/kivra/). It is run with the wine on the
// PATH in our prefix (WINEDEBUG=-all), and may take 10 s.
#pragma once

#include <string>
#include <vector>

// What the helper answered: its exit status 0 (done) or 10 (no such
// window); any other (Wine's own failures among them) is no answer.
enum class HelperResult {
    Done,
    NoWindow,
    Unavailable
};

// Runs the helper with command ("post", CLASS, TITLE, MESSAGE or
// "terminate", CLASS, TITLE; tools/kivra-close) while a Wine process of our
// prefix runs (so that its server does). Unavailable when Wine or the helper
// is missing or the helper did not answer in time.
HelperResult RunCloseHelper(const std::vector<std::string>& command);
