// Standard input, output and error open before anything else (platform/CMakeLists.txt
// links KivraStandardStreams into every program on Linux).
//
// A program started with one of descriptors 0, 1 and 2 closed (as some
// launchers start programs) would have the first file it opens take that
// number, and what it prints would go into that file: a game pack. Each
// closed one is opened on /dev/null before the program's own code runs, and
// what is written to it is lost, never written elsewhere.
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

extern "C" void KivraStandardStreams()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = open("/dev/null", O_RDWR);
        // The lowest free descriptor is this one; should it not be, it is
        // moved there.
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}

namespace {

// Before main, and before any other static object's constructor that could
// open a file: the priority runs it among the first.
__attribute__((constructor(101))) void OpenStandardStreams() { KivraStandardStreams(); }

}  // namespace
