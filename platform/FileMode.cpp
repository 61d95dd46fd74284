// The stream modes every C runtime reads alike.
#include "platform/Disk.h"

bool IsPortableFileMode(const char* mode)
{
    if (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a') return false;
    bool plus = false;
    bool binary = false;
    bool text = false;
    for (const char* m = mode + 1; *m; ++m) {
        bool* seen = *m == '+' ? &plus : *m == 'b' ? &binary : *m == 't' ? &text : nullptr;
        if (!seen || *seen) return false;
        *seen = true;
    }
    return !(binary && text);
}
