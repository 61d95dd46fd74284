// The table of other programs' windows the application registers
// (platform/ProgramWindows.h), the same on every platform.
#include "platform/ProgramWindows.h"

namespace {

struct Registered {
    const ProgramWindow* windows = nullptr;
    int count = 0;
};
Registered registered;

}  // namespace

void AfxRegisterProgramWindows(const ProgramWindow* windows, int count) { registered = {windows, count}; }

const ProgramWindow* AfxProgramWindows(int& count)
{
    count = registered.count;
    return registered.windows;
}
