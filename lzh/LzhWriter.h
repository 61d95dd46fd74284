// Writing LZH archives: level-1 member headers, each member packed with
// -lh5- or, when that would not make it smaller, stored with -lh0-, and the
// end marker.
//
// A member header is the level-1 header the reader of LzhArchive.h reads,
// followed by one extended header, the CRC-16 of the whole header (taken
// with its own field as zero), and when the caller gives one, a second: the
// Unix time, to the second where the MS-DOS time keeps even seconds only. The name field holds the member's whole
// relative path in the system code page: the patcher's reader extracts by
// that field alone. The patch maker separates folders with backslashes,
// which lhasa and 7z take as folders too; the lzh tool with slashes, which
// jlha takes so as well. No directory extended header is written: 7z would
// put the folders in front of the path once more. The system byte is 'W'
// (Windows NT): lhasa turns names from MS-DOS into lower case, but not these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

inline constexpr std::size_t kLzhMaxWrittenName = 230;   // what a level-1 header's size byte allows
inline constexpr std::size_t kLzhMemberHeaderSize = 32;  // the header less its name
inline constexpr std::size_t kLzhUnixTimeSize = 7;       // the Unix time extended header
// Largest header written, name and Unix time included.
inline constexpr std::size_t kLzhMaxMemberHeaderSize = kLzhMemberHeaderSize + kLzhMaxWrittenName + kLzhUnixTimeSize;

struct LzhHeaderFields {
    char method;               // '0' (stored), '5' or 'd' (a folder)
    std::uint32_t packedSize;  // packed data, the extended header not counted
    std::uint32_t size;
    std::uint32_t dosTime;  // MS-DOS date and time, local time
    std::uint16_t crc;      // CRC-16 of the content
    const char* name;
    std::size_t nameLength;      // at most kLzhMaxWrittenName
    std::int64_t unixTime = -1;  // seconds since 1970 (UTC) for the Unix time extended header; -1 for none
};

// Puts the member header into out (kLzhMemberHeaderSize + nameLength bytes,
// and kLzhUnixTimeSize more with a Unix time) and yields its size.
std::size_t MakeLzhMemberHeader(const LzhHeaderFields& fields, std::uint8_t* out);

// The MS-DOS date and time of a local time (year from 1980 to 2107, month 1
// to 12, seconds rounded down to even); years outside that range give the
// nearest end of it.
std::uint32_t LzhDosTime(int year, int month, int day, int hour, int minute, int second);

enum class LzhAddResult : std::uint8_t {
    Added,
    CannotRead,   // the source could not be read, or held fewer than size bytes
    CannotWrite,  // the archive could not be written
    TooLarge,     // size is more than a member can hold (kLzhMaxEncodedSize)
    NameTooLong,  // more than kLzhMaxWrittenName bytes
};

struct LzhAddedMember {
    LzhAddResult result;
    bool compressed;  // -lh5-; otherwise stored
    std::uint32_t packedSize;
};

// Appends one member to archive (open for binary writing, at its end): the
// first size bytes of source (open for binary reading, at its start) under
// name. With compress, the content is packed with -lh5- and kept so if that
// is smaller; otherwise, or without compress, it is stored. The archive's
// position is at the member's end afterwards, and nothing lies beyond it.
// On a failure the archive holds a part of the member. A unixTime from 0 to
// 2^32 - 1 is written in a Unix time extended header too.
LzhAddedMember AddLzhMember(std::FILE* archive, std::FILE* source, std::uint64_t size, const char* name,
                            std::uint32_t dosTime, bool compress, std::int64_t unixTime = -1);

// Appends a folder's member (-lhd-, no content) named name, which ends with
// a separator; false when the archive could not be written or the name is
// longer than kLzhMaxWrittenName.
bool AddLzhFolderMember(std::FILE* archive, const char* name, std::uint32_t dosTime, std::int64_t unixTime = -1);

// Writes the end marker; false when the archive could not be written.
bool EndLzhArchive(std::FILE* archive);
