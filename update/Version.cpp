// Version numbers: order, text form and the version readers.
#include "update/Version.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "pack/PackFileManager.h"
#include "update/Globals.h"

void FormatVersion(const VersionNumber& version, char* out, std::size_t size)
{
    std::snprintf(out, size, kVersionDisplayFormat, version.major, version.minor, version.minor2, version.build);
}

VersionOrder CompareVersions(const VersionNumber& a, const VersionNumber& b)
{
    const std::int32_t left[] = {a.major, a.minor, a.minor2, a.build};
    const std::int32_t right[] = {b.major, b.minor, b.minor2, b.build};
    for (int i = 0; i < 4; ++i) {
        if (left[i] < right[i]) return VersionOrder::Less;
        if (left[i] > right[i]) return VersionOrder::Greater;
    }
    return VersionOrder::Equal;
}

namespace {

// Blanks are the bytes 1 to 16 and the space.
bool IsBlank(unsigned char c) { return (c >= 1 && c <= 16) || c == ' '; }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

void TextScanner::Start(char* line)
{
    lineStart = line;
    position = 0;
    length = static_cast<std::int32_t>(std::strlen(line));
    positive = 1;
}

void TextScanner::SkipBlanks()
{
    while (position < length && IsBlank(static_cast<unsigned char>(lineStart[position]))) ++position;
}

std::int32_t TextScanner::ReadInteger()
{
    positive = 1;

    // Look ahead: an integer is there when a digit follows the blanks, or a
    // sign that touches its digit.
    const std::int32_t remembered = position;
    SkipBlanks();
    bool present = false;
    if (position < length) {
        const unsigned char c = static_cast<unsigned char>(lineStart[position]);
        const unsigned char after = position + 1 < length ? static_cast<unsigned char>(lineStart[position + 1]) : 0;
        present = IsDigit(c) || ((c == '+' || c == '-') && IsDigit(after));
    }
    position = remembered;
    if (!present) return 0;

    SkipBlanks();
    if (lineStart[position] == '+' || lineStart[position] == '-') {
        positive = lineStart[position] == '+';
        ++position;
    }
    const std::int32_t digits = position;
    while (position < length && IsDigit(static_cast<unsigned char>(lineStart[position]))) ++position;

    // Accumulated from the last digit to the first, wrapping in 32 bits.
    std::uint32_t value = 0;
    std::uint32_t scale = 1;
    for (std::int32_t i = position - 1; i >= digits; --i) {
        value += static_cast<std::uint32_t>(lineStart[i] - '0') * scale;
        scale *= 10;
    }
    if (!positive) value = 0u - value;
    return static_cast<std::int32_t>(value);
}

TextLineReader::TextLineReader(char* text)
    : textStart(text),
      nextLine(text),
      textLength(static_cast<std::int32_t>(std::strlen(text))),
      bytesLeft(textLength),
      scanner{text, 0, 0, 1},
      endOfText(0),
      comment(0),
      linesReturned(0)
{}

char* TextLineReader::NextLine()
{
    if (bytesLeft <= 0) {
        endOfText = 1;
        return nullptr;
    }
    char* line = nextLine;
    // A line ends at a carriage return directly followed by a line feed; a
    // lone one of the two is no end of line.
    std::int32_t i = 0;
    for (; i < bytesLeft; ++i) {
        if (line[i] == '\r' && i + 1 < bytesLeft && line[i + 1] == '\n') break;
    }
    if (i < bytesLeft) {
        line[i] = 0;
        line[i + 1] = 0;
        nextLine = line + i + 2;
        bytesLeft -= i + 2;
    } else {
        nextLine = line + bytesLeft;
        bytesLeft = 0;
    }

    // A comment: the first "/" of the line, when "/" or "*" follows it, ends
    // the line. No later "/" is looked at.
    if (char* slash = std::strchr(line, '/')) {
        if (slash[1] == '/' || slash[1] == '*') {
            comment = slash[1] == '*';
            *slash = 0;
        }
    }
    ++linesReturned;
    scanner.Start(line);
    return line;
}

bool ParseVersionText(char* text, VersionNumber& out)
{
    TextLineReader reader(text);
    if (!reader.NextLine()) return false;
    TextScanner& s = reader.scanner;

    std::int32_t* const components[] = {&out.major, &out.minor, &out.minor2, &out.build};
    for (int i = 0; i < 4; ++i) {
        *components[i] = s.ReadInteger();
        if (i == 3) break;
        s.SkipBlanks();
        if (s.AtEnd()) return false;
        const char separator = s.lineStart[s.position];
        if (separator != '.' && separator != ',') return false;
        ++s.position;
    }
    return true;
}

namespace {

// A version file as an editor may save it, made the plain text the parser
// reads, in place: a UTF-8 byte-order mark is passed over, and UTF-16 (with
// its mark, as Notepad saves "Unicode") is read character by character, up
// to the first that is no ASCII one.
void TakeAsPlainText(char* text, int length)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    if (length >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
        std::memmove(text, text + 3, static_cast<std::size_t>(length - 3) + 1);
        return;
    }
    const bool little = length >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE;
    const bool big = length >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF;
    if (!little && !big) return;
    int out = 0;
    for (int at = 2; at + 1 < length; at += 2) {
        const unsigned char low = bytes[little ? at : at + 1];
        const unsigned char high = bytes[little ? at + 1 : at];
        if (high != 0 || low == 0 || low >= 0x80) break;
        text[out++] = static_cast<char>(low);
    }
    text[out] = 0;
}

// Reads a small text file through a pack (or from disk beside it) and parses
// it.
bool ReadVersionFile(CPackFileManager& pack, const char* name, VersionNumber& out)
{
    constexpr std::int32_t kBufferSize = 1000;
    const int handle = pack.OpenFile(name, OF_READ, kInPackThenOnDisk);
    if (handle == -1) return false;

    char buffer[kBufferSize + 1];
    buffer[0] = 0;
    std::int32_t length = pack.GetLength(handle);
    if (length >= kBufferSize) length = kBufferSize;
    if (length < 0) length = 0;
    // The text ends where the bytes actually read end: a disk file may give
    // fewer than its length promised.
    const int read = pack.ReadBytes(handle, buffer, length);
    pack.CloseFile(handle);
    buffer[read > 0 && read <= length ? read : 0] = 0;
    TakeAsPlainText(buffer, read > 0 && read <= length ? read : 0);
    return ParseVersionText(buffer, out);
}

}  // namespace

bool ReadNeedVersion(VersionNumber& out) { return ReadVersionFile(UpdatePack, "NeedVersion.txt", out); }

bool ReadPackVersion(CPackFileManager& pack, VersionNumber& out)
{
    return ReadVersionFile(pack, "Kivra_Pak\\Version.txt", out);
}

bool ReadFileVersion(const char* path, VersionNumber& out)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) return false;
    void* block = std::malloc(size);
    if (!block) return false;

    bool result = false;
    void* value = nullptr;
    UINT valueLength = 0;
    if (GetFileVersionInfoA(path, 0, size, block) &&
        VerQueryValueA(block, "\\VarFileInfo\\Translation", &value, &valueLength) && valueLength >= 4) {
        DWORD translation;
        std::memcpy(&translation, value, sizeof translation);
        char query[64];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\FileVersion",
                      static_cast<unsigned>(translation & 0xFFFFu), static_cast<unsigned>(translation >> 16));
        if (VerQueryValueA(block, query, &value, &valueLength)) {
            // The string is taken up to the length the query reports.
            char text[256];
            std::size_t n = valueLength < sizeof text ? valueLength : sizeof text - 1;
            std::memcpy(text, value, n);
            text[n] = 0;
            ParseVersionText(text, out);
            result = true;
        }
    }
    std::free(block);
    return result;
}
