// Stands in for another program in the process tests: waits for a signal,
// whatever its arguments. SIGTERM ends it unless it was started ignoring it.
#include <unistd.h>

int main()
{
    for (;;) pause();
}
