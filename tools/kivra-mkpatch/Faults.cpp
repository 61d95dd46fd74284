#include "tools/kivra-mkpatch/Faults.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "pack/PackFileManager.h"
#include "tools/kivra-mkpatch/Engines.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/Signals.h"
#include "tools/kivra-mkpatch/WorkFolder.h"

namespace mkpatch {

namespace {

extern "C" void StopOnSignal(int signal)
{
    TakeBackWork();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// The engine ends the process once Update.pak's table is full, after it has
// closed the pack.
void StopWhenFull(const char*)
{
    Fail(std::string(kPatchPack) + ": the patch holds more than a pack can (" + std::to_string(pack::kMaxBlocks) +
         " blocks of " + std::to_string(pack::kBlockSize) +
         " bytes); leave some files out with --exclude PATTERN and ship them in a patch of their own");
    std::exit(kExitFailure);
}

}  // namespace

int Fail(const std::string& text)
{
    SayError(text);
    patchPack.Close();
    RemoveWork();
    return kExitFailure;
}

bool Refuse(const std::string& text)
{
    Fail(text);
    return false;
}

void CatchFaults()
{
    packFullStop = StopWhenFull;
    CatchStopSignals(StopOnSignal);
}

}  // namespace mkpatch
