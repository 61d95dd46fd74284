// kivra-mkpatch: makes the patch that takes one installation of the game to
// another, for the patcher to apply.
//
// OLD and NEW are game directories, each with Dev\Kivra.pak. The patch is
// OUTDIR\update.lzh, holding one Update.pak with NeedVersion.txt, the new
// Kivra_Pak\Version.txt, every file of the pack's Kivra_Pak tree and every
// disk file below the game directory that NEW adds or changes, and, when
// given, ReadMe.txt; and OUTDIR\KNet.exe when NEW's launcher differs from
// OLD's. Exit status: 0 success, 1 failure (one line on stderr says why), 2
// usage.
//
// The run's parts are the files beside this one, each named for its job:
// Options reads the command line, MakePatch takes the others in order.
#include "tools/common/StandardOptions.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/MakePatch.h"
#include "tools/kivra-mkpatch/Options.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/ReadMe.h"
#include "tools/kivra-mkpatch/Report.h"

int main(int argc, char** argv)
{
    using namespace mkpatch;
    if (AnswerStandardOption(argc, argv, "kivra-mkpatch", PrintUsage)) return kExitSuccess;
    Options options;
    if (const int status = ReadCommandLine(argc, argv, options); status != kExitSuccess) return status;
    CatchFaults();
    FindTerminal();
    if (!ReadSourceDate(options) || !ReadReadMe(options)) return kExitFailure;
    return MakePatch(options);
}
