#include "update/Globals.h"

#include <cstring>

// Constructed before the application object (and so destroyed after it), in
// this order: UpdatePack, then GamePack.
#if defined(__GNUC__)
#define KIVRA_EARLY_STATIC(priority) __attribute__((init_priority(priority)))
#else
#define KIVRA_EARLY_STATIC(priority)
#endif

CPackFileManager UpdatePack KIVRA_EARLY_STATIC(1000);
CPackFileManager GamePack KIVRA_EARLY_STATIC(1001);

char UpdaterDir[kMaxPath];
char GameDir[kMaxPath];

bool JoinPath(char* out, const char* directory, const char* name)
{
    const std::size_t a = std::strlen(directory);
    const std::size_t b = std::strlen(name);
    if (a + b + 1 > static_cast<std::size_t>(kMaxPath)) {
        out[0] = 0;
        return false;
    }
    std::memcpy(out, directory, a);
    std::memcpy(out + a, name, b + 1);
    return true;
}
