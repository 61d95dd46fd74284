// Stands in for the game or the launcher in the whole-run tests: it is
// started under the program name it stands for (its argv[0]) and behaves as
// told.
//   standin obey           ends when asked (SIGTERM), else runs for a minute
//   standin ignore         ignores being asked; runs for a minute
//   standin linger MS      ends by itself after MS milliseconds
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "obey";
    int milliseconds = 60000;
    if (std::strcmp(mode, "ignore") == 0) std::signal(SIGTERM, SIG_IGN);
    if (std::strcmp(mode, "linger") == 0 && argc > 2) milliseconds = std::atoi(argv[2]);
    // Ready: the test waits for this byte before it starts the patcher.
    if (write(STDOUT_FILENO, "R", 1) != 1) return 1;
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
    return 0;
}
