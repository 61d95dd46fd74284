// Stands in for another program in the process tests: waits for a signal,
// whatever its arguments. SIGTERM ends it unless it was started ignoring it.
// With the argument --undumpable its /proc files are closed to others of
// its user (environ among them), as for a program that holds secrets.
#include <cstring>
#include <sys/prctl.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--undumpable") == 0) prctl(PR_SET_DUMPABLE, 0);
    for (;;) pause();
}
