// The LZH archive walk over an arbitrary "update.lzh": every member it
// unpacks lands in a scratch directory that is emptied after each input.
//
// A fatal stop of the decoder ("Bad table", "Unable to write") would end the
// process; here lzhStop jumps back into the harness instead. LzhFatal has
// closed the archive and the output and removed the temporary file by then,
// and the next walk sets the reader up afresh.
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
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr rlim_t kOutputLimit = 256 * 1024;

std::jmp_buf fatalStop;

void JumpBack() { std::longjmp(fatalStop, 1); }

void EmptyDirectory()
{
    DIR* d = opendir(".");
    if (!d) return;
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") unlink(name.c_str());
    }
    closedir(d);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzsupport::EnterScratchDirectory();
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
    if (setjmp(fatalStop) == 0) ExtractLzhArchive("update.lzh");
    // Nothing of the walk stays open, whichever way it ended.
    if (lzhReader.archive || lzhReader.output) std::abort();
    EmptyDirectory();
    return 0;
}
