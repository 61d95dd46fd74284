// The Wine prefix the Linux build works in (WinePrefix.h).
#include "platform/posix/WinePrefix.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

std::string WinePrefix()
{
    if (const char* prefix = std::getenv("WINEPREFIX"); prefix && *prefix) return prefix;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* user = getpwuid(getuid());
        home = user ? user->pw_dir : nullptr;
    }
    return home && *home ? std::string(home) + "/.wine" : std::string();
}
