// The LZH archive walk over an arbitrary "update.lzh", once as the patcher
// names members and once with their folders, as the lzh tool does: every
// member lands in a scratch directory that is emptied after each input, and
// nothing may land beside it.
//
// A fatal stop of the decoder ("Bad table", "Unable to write") would end the
// process; here lzhStop jumps back into the harness instead. LzhFatal has
// closed the archive and the output and removed the temporary file by then,
// and the next walk sets the reader up afresh.
//
// Every file a member made must be no longer than the member declares.
//
// Output files are capped at kOutputLimit bytes (RLIMIT_FSIZE, SIGXFSZ
// ignored), and the cap turns more into an "Unable to write" stop. The reader
// stops a member whose decoding runs into the filler past its packed data
// after one chunk, but a member may claim 4 GB that a few real packed bytes
// do produce: constant codes take no bits, and a block symbol count of 0
// keeps them to the member's end.
#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <ftw.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "platform/Disk.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr rlim_t kOutputLimit = 256 * 1024;

std::jmp_buf fatalStop;

void JumpBack() { std::longjmp(fatalStop, 1); }

int RemoveEntry(const char* path, const struct stat*, int, FTW* at)
{
    if (at->level > 0) remove(path);
    return 0;
}

void EmptyDirectory() { nftw(".", RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

// Entries of the folder that holds the scratch directory.
int EntriesBeside()
{
    DIR* d = opendir("..");
    if (!d) std::abort();
    int count = 0;
    while (readdir(d)) ++count;
    closedir(d);
    return count;
}

// A member writes no more than its header declares: the file it made is
// no longer than that.
void CheckBound()
{
    DiskPathInfo info{};
    if (!IsLzhFolderMember() && StatDiskPath(LzhMemberPath(), &info) == 0 && info.file &&
        info.size > lzhReader.unpackedSize)
        std::abort();
}

// Each walk in a frame of its own, which a fatal stop jumps back to.
void Walk(LzhNaming naming)
{
    if (setjmp(fatalStop) != 0 || !OpenLzhArchive("update.lzh", naming)) return;
    while (ReadMemberHeader())
        if (ExtractMember()) CheckBound();
    CloseLzhArchive();
}

void WalkAsThePatcher() { Walk(LzhNaming::NameField); }

void WalkWithFolders() { Walk(LzhNaming::Folders); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::EnterScratchDirectory();
    // A folder of its own inside, so that what lands beside it is seen.
    if (mkdir("walk", 0700) != 0 || chdir("walk") != 0) std::abort();
    // A member whose name can't be created asks for another on standard input.
    if (!std::freopen("/dev/null", "r", stdin)) std::abort();
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{kOutputLimit, kOutputLimit};
    setrlimit(RLIMIT_FSIZE, &limit);
    lzhStop = JumpBack;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > kOutputLimit) return 0;
    if (!fuzzsupport::WriteWholeFile("update.lzh", data, size)) std::abort();
    const int beside = EntriesBeside();
    WalkAsThePatcher();
    // Nothing of the walk stays open, whichever way it ended.
    if (lzhReader.archive || lzhReader.output) std::abort();
    EmptyDirectory();
    if (!fuzzsupport::WriteWholeFile("update.lzh", data, size)) std::abort();
    WalkWithFolders();
    if (lzhReader.archive || lzhReader.output || EntriesBeside() != beside) std::abort();
    EmptyDirectory();
    return 0;
}
