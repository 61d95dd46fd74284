// Four-part version numbers, their text form, and the readers that fill them
// from the patch's version files and from executables.
#pragma once

#include <cstddef>
#include <cstdint>

class CPackFileManager;

struct VersionNumber {
    std::int32_t major;
    std::int32_t minor;
    std::int32_t minor2;
    std::int32_t build;
};

enum class VersionOrder {
    Less,
    Equal,
    Greater
};

// The one rule by which versions are ordered: component by component, the
// first difference deciding.
VersionOrder CompareVersions(const VersionNumber& a, const VersionNumber& b);

// The display form "%d.%d%d Build %d": 1, 0, 2, 29 shows as 1.02 Build 29.
inline constexpr char kVersionDisplayFormat[] = "%d.%d%d Build %d";
// Writes version's display form into out (size bytes, cut to fit).
void FormatVersion(const VersionNumber& version, char* out, std::size_t size);

// A cursor over one line of a mutable text.
struct TextScanner {
    char* lineStart;
    std::int32_t position;
    std::int32_t length;
    std::uint8_t positive;

    // Sets the cursor at the start of line.
    void Start(char* line);
    bool AtEnd() const { return position >= length; }
    void SkipBlanks();
    // The next integer, or 0 with the position unchanged when none follows.
    std::int32_t ReadInteger();
};

// Cuts a mutable zero-terminated text into lines, writing zero bytes where a
// line ends or a comment is cut off.
struct TextLineReader {
    char* textStart;
    char* nextLine;
    std::int32_t textLength;
    std::int32_t bytesLeft;
    TextScanner scanner;
    std::uint8_t endOfText;
    std::uint8_t comment;
    std::int32_t linesReturned;

    explicit TextLineReader(char* text);
    // The next line, with its scanner set at its start; null at the end.
    char* NextLine();
};

// Parses the first line of text ("1.0.2.29" or "1, 0, 2, 29") into out. Each
// component is stored as soon as it is read. The text is changed in place.
bool ParseVersionText(char* text, VersionNumber& out);

// "NeedVersion.txt" from UpdatePack's current directory.
bool ReadNeedVersion(VersionNumber& out);
// "Kivra_Pak\Version.txt" from the pack's current directory (or from disk,
// relative to the working directory, when the pack lacks it).
bool ReadPackVersion(CPackFileManager& pack, VersionNumber& out);
// The FileVersion string of an executable's version resource.
bool ReadFileVersion(const char* path, VersionNumber& out);
