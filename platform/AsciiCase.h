// Letter case as Windows names compare it, everywhere in the program: the
// letters A to Z equal a to z, and every other byte (Hangul, other letters,
// digits) compares as it is. Pack names, disk paths, program names, registry
// keys, version-resource keys and typed answers all fold this way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace ascii {

constexpr unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c + 32) : c; }
constexpr char Fold(char c) { return static_cast<char>(Fold(static_cast<unsigned char>(c))); }

constexpr bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Whether a and b are the same text but for the case of ASCII letters.
constexpr bool EqualIgnoringCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Fold(a[i]) != Fold(b[i])) return false;
    return true;
}

// The same for zero-terminated texts, read no further than their ends.
constexpr bool EqualIgnoringCase(const char* a, const char* b)
{
    for (;; ++a, ++b) {
        const char x = Fold(*a);
        if (x != Fold(*b)) return false;
        if (x == 0) return true;
    }
}

// text with its ASCII letters folded: a key under which texts that are equal
// ignoring case are one.
inline std::string Folded(std::string_view text)
{
    std::string folded(text);
    for (char& c : folded) c = Fold(c);
    return folded;
}

}  // namespace ascii
