// Code page 949 and UTF-8 on Linux (CodePage.h, under platform/CodePage.h).
#include "platform/posix/CodePage.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <mutex>

#include "platform/CodePage.h"

namespace codepage {

namespace {

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);
constexpr std::size_t kFailed = static_cast<std::size_t>(-1);

// One converter each way, opened at first use and kept; iconv keeps state
// in them, so one caller at a time.
std::mutex convertersLock;

iconv_t Converter(Direction direction)
{
    static iconv_t toUtf8 = kNoConverter;
    static iconv_t toCp949 = kNoConverter;
    iconv_t& converter = direction == Direction::kToUtf8 ? toUtf8 : toCp949;
    if (converter == kNoConverter)
        converter = direction == Direction::kToUtf8 ? iconv_open("UTF-8", "CP949") : iconv_open("CP949", "UTF-8");
    return converter;
}

bool IsAscii(std::string_view text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 character at text, 0 when there is
// none (a stray byte, a truncated or overlong form, a surrogate).
std::size_t Utf8Length(const unsigned char* text, std::size_t left)
{
    const unsigned char c = text[0];
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;
        if (c == 0xED) high = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (left < length || text[1] < low || text[1] > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (!IsContinuation(text[i])) return 0;
    return length;
}

// How many bytes at in make the character that could not be converted: one
// byte of code page 949 text, a whole character of UTF-8 when it is one.
std::size_t UnconvertibleLength(Direction direction, const char* in, std::size_t left)
{
    if (direction == Direction::kToUtf8) return 1;
    const std::size_t length = Utf8Length(reinterpret_cast<const unsigned char*>(in), left);
    return length > 0 ? length : 1;
}

// Runs the conversion of text, handing every piece of output to put(bytes,
// count) and every character that cannot be converted to skip(bytes, count).
// False when iconv is not there (errno set) or a callback says stop.
template <class Put, class Skip> bool Run(Direction direction, std::string_view text, Put put, Skip skip)
{
    std::lock_guard<std::mutex> lock(convertersLock);
    const iconv_t converter = Converter(direction);
    if (converter == kNoConverter) return false;
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    char buffer[1024];
    while (inLeft > 0) {
        char* outAt = buffer;
        std::size_t outLeft = sizeof buffer;
        const std::size_t done = iconv(converter, &in, &inLeft, &outAt, &outLeft);
        const int error = errno;
        if (outAt != buffer && !put(buffer, static_cast<std::size_t>(outAt - buffer))) return false;
        if (done != kFailed || error == E2BIG) continue;
        // EILSEQ, or EINVAL for a character cut short at the end.
        const std::size_t length = UnconvertibleLength(direction, in, inLeft);
        if (!skip(in, length)) return false;
        in += length;
        inLeft -= length;
        iconv(converter, nullptr, nullptr, nullptr, nullptr);
    }
    return true;
}

}  // namespace

bool Convert(Direction direction, std::string_view text, std::string& out, Unconvertible how)
{
    out.clear();
    if (IsAscii(text)) {
        out.assign(text);
        return true;
    }
    bool failed = false;
    const bool ran = Run(
        direction, text,
        [&](const char* bytes, std::size_t count) {
            out.append(bytes, count);
            return true;
        },
        [&](const char* bytes, std::size_t count) {
            if (how == Unconvertible::kFail) {
                failed = true;
                return false;
            }
            if (how == Unconvertible::kQuestionMark) {
                out += '?';
                return true;
            }
            for (std::size_t i = 0; i < count; ++i) {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(bytes[i]));
                out += escape;
            }
            return true;
        });
    if (failed) errno = EILSEQ;
    if (ran) return true;
    if (how == Unconvertible::kFail) return false;
    // No converter at all: the text as it is, which is right for ASCII.
    out.assign(text);
    return true;
}

bool ConvertInto(Direction direction, std::string_view text, char* out, std::size_t outSize)
{
    if (outSize == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    if (IsAscii(text)) {
        if (text.size() >= outSize) {
            errno = ENAMETOOLONG;
            return false;
        }
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = 0;
        return true;
    }
    std::size_t used = 0;
    int error = EILSEQ;
    const bool ran = Run(
        direction, text,
        [&](const char* bytes, std::size_t count) {
            if (used + count >= outSize) {
                error = ENAMETOOLONG;
                return false;
            }
            std::memcpy(out + used, bytes, count);
            used += count;
            return true;
        },
        [](const char*, std::size_t) { return false; });
    out[ran ? used : 0] = 0;
    if (!ran) errno = error;
    return ran;
}

}  // namespace codepage

bool SystemToHostText(std::string_view text, std::string& out)
{
    return codepage::Convert(codepage::Direction::kToUtf8, text, out, codepage::Unconvertible::kFail);
}

bool HostToSystemText(std::string_view text, std::string& out)
{
    return codepage::Convert(codepage::Direction::kToCp949, text, out, codepage::Unconvertible::kFail);
}

std::string SystemTextForDisplay(std::string_view text)
{
    std::string out;
    codepage::Convert(codepage::Direction::kToUtf8, text, out, codepage::Unconvertible::kEscape);
    return out;
}
