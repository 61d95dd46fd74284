// Code page 949 and UTF-8 on Linux (CodePage.cpp): the one converter.
//
// The one place where they are converted (glibc's iconv, "CP949", the
// Unified Hangul Code of Windows); platform/CodePage.h is built on it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace codepage {

enum class Direction {
    kToUtf8,   // from code page 949
    kToCp949,  // from UTF-8
};

// What a byte or character that cannot be converted becomes.
enum class Unconvertible {
    kFail,          // the conversion fails
    kQuestionMark,  // one '?' for it
    kEscape,        // "\xNN" for each of its bytes
};

// Converts text into out (replacing what out held). False only with kFail,
// errno EILSEQ. Text that is all ASCII is the same in both encodings.
bool Convert(Direction direction, std::string_view text, std::string& out, Unconvertible how);

// The same, strict, into a buffer of outSize bytes with a terminator: for
// the paths of every disk operation, without allocating. False with errno
// EILSEQ (not convertible) or ENAMETOOLONG (does not fit).
bool ConvertInto(Direction direction, std::string_view text, char* out, std::size_t outSize);

}  // namespace codepage
