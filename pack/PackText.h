// Text helpers of the pack engine: names compare ignoring the case of ASCII
// letters only (other bytes compare as they are).
#pragma once

#include <cstddef>
#include <cstring>

#include "platform/AsciiCase.h"

namespace pack {

// Copies at most size - 1 bytes of source and terminates.
inline void CopyText(char* target, const char* source, std::size_t size)
{
    std::size_t n = 0;
    while (n + 1 < size && source[n]) {
        target[n] = source[n];
        ++n;
    }
    target[n] = 0;
}

inline void RemoveBackslashes(char* text)
{
    char* out = text;
    for (const char* in = text; *in; ++in)
        if (*in != '\\') *out++ = *in;
    *out = 0;
}

// Whether path fits the engine's path buffers whole: shorter than bufferSize
// with its terminator, and no component (the text between backslashes and
// colons) longer than nameLength. Nothing the engine does with such a path
// cuts it short.
inline bool PathFits(const char* path, std::size_t bufferSize, std::size_t nameLength)
{
    std::size_t component = 0;
    for (std::size_t i = 0;; ++i) {
        const char c = path[i];
        if (c == 0) return true;
        if (i + 1 >= bufferSize) return false;
        component = (c == '\\' || c == ':') ? 0 : component + 1;
        if (component > nameLength) return false;
    }
}

// Whether text begins with the drive "Z:" (either case).
inline bool StartsWithDrive(const char* text)
{
    return ascii::Fold(static_cast<unsigned char>(text[0])) == 'z' && text[1] == ':';
}

}  // namespace pack
