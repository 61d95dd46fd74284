// Temporaries' names, made and read back alike on every platform.
#include "platform/TemporaryName.h"

#include <cstdio>
#include <cstring>

bool MakeTemporaryName(char* out, std::size_t size, const char* directory, std::size_t directoryLength,
                       const char* prefix, unsigned long pid, unsigned long counter)
{
    const int length = std::snprintf(out, size, "%.*s%s%lu-%lu.tmp", static_cast<int>(directoryLength), directory,
                                     prefix, pid, counter);
    return length >= 0 && static_cast<std::size_t>(length) < size;
}

unsigned long TemporaryNameProcess(const char* name, const char* prefix)
{
    const std::size_t length = std::strlen(prefix);
    if (std::strncmp(name, prefix, length) != 0) return 0;
    unsigned long pid = 0;
    unsigned long counter = 0;
    if (std::sscanf(name + length, "%lu-%lu.tmp", &pid, &counter) != 2) return 0;
    // Only the name as it is made: no signs, blanks, leading zeros or tail.
    char again[64];
    std::snprintf(again, sizeof again, "%lu-%lu.tmp", pid, counter);
    return std::strcmp(again, name + length) == 0 ? pid : 0;
}
