// The archive walk: member headers of levels 0, 1 and 2, stored copies,
// hand-over to the decoder, and the temporary file that becomes the member
// only when its CRC matches.
#include "lzh/LzhArchive.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

#include "lzh/LzhCrc.h"
#include "lzh/LzhDecoder.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "platform/TemporaryName.h"
#include "platform/Win32.h"
#include "platform/WindowsNames.h"

LzhArchiveReader lzhReader;

namespace {

// Places in header, which starts at header offset 2.
constexpr std::size_t kMethodIndex = 0;
constexpr std::size_t kMethodKindIndex = kMethodIndex + 3;  // the '5' of "-lh5-"
constexpr std::size_t kPackedSizeIndex = 5;
constexpr std::size_t kUnpackedSizeIndex = 9;
constexpr std::size_t kLevelIndex = 18;
constexpr std::size_t kNameLengthIndex = 19;
constexpr std::size_t kLevel2CrcIndex = 19;
constexpr std::size_t kLevel2FirstExtensionIndex = 22;
constexpr std::size_t kLevel2FixedSize = 26;  // bytes before the first extended header
constexpr std::uint32_t kLevel2MaxHeaderSize = 0xFFFF;

// Least header sizes S of levels 0 and 1 for an empty name.
constexpr unsigned kLevel0MinSize = 22;
constexpr unsigned kLevel1MinSize = 25;

constexpr std::size_t kTimeIndex = 13;

// What stays the same through a walk, taken once: this process's id, for the
// temporaries' names, and the last MS-DOS time converted and what it gave
// (members made together share their times, and the conversion looks at the
// system's time zone file each time).
struct WalkConstants {
    unsigned long processId;
    bool timeKnown;
    std::uint32_t dosTime;
    long long unixTime;
};
WalkConstants walk{};

// Of the extended headers (LzhFormat.h), the header's CRC and the file name
// are read from level-2 headers, the folder and the Unix time from levels 1
// and 2. The folder's components are ended by kDirectorySeparator.
constexpr std::uint8_t kDirectorySeparator = 0xFF;

// Names tried for one temporary before the member is given up.
constexpr int kTemporaryAttempts = 10000;

// One byte through the CRC register.
std::uint16_t CrcByte(std::uint16_t crc, std::uint8_t byte) { return UpdateLzhCrc(crc, &byte, 1); }

std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::uint32_t Le32(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

bool ReadArchiveBytes(std::uint8_t* to, std::size_t count)
{
    return ReadDiskFile(to, 1, count, lzhReader.archive) == count;
}

// The next byte of the archive, or EOF.
int ReadArchiveByte()
{
    std::uint8_t byte;
    return ReadArchiveBytes(&byte, 1) ? byte : EOF;
}

bool EndWalk(LzhWalkEnd reason)
{
    lzhReader.walkEnd = reason;
    return false;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

char* MemberName() { return reinterpret_cast<char*>(lzhReader.header + kLzhNameOffset); }

// A member the walk does not write.
void ReportMember(LzhMemberProblem problem, const char* name)
{
    ++lzhReader.membersFailed;
    lzhReportMember(problem, name);
}

// An extended header of type begins: what it replaces is forgotten.
void StartExtension(int type)
{
    LzhArchiveReader& a = lzhReader;
    if (type == kLzhDirectoryExtension) {
        a.directoryLength = 0;
        a.directoryTooLong = false;
    } else if (type == kLzhUnixTimeExtension) {
        a.hasUnixTime = false;
        a.unixTime = 0;
    }
}

// Byte index of an extended header's content (after its type), kept when the
// header is one of those the reader keeps: the folder, components ended by
// backslashes, and the Unix time, which counts once all four bytes are read.
void TakeExtensionByte(int type, unsigned index, std::uint8_t byte)
{
    LzhArchiveReader& a = lzhReader;
    if (type == kLzhDirectoryExtension) {
        if (a.directoryLength == kLzhMaxPathLength) {
            a.directoryTooLong = true;
            return;
        }
        // A zero byte would end the path early: it becomes a wildcard, which
        // names nothing, so that the member is not written elsewhere.
        a.directory[a.directoryLength++] = byte == kDirectorySeparator || byte == '/' ? '\\'
                                           : byte == 0                                ? '?'
                                                                                      : static_cast<char>(byte);
    } else if (type == kLzhUnixTimeExtension && index < 4) {
        a.unixTime |= static_cast<std::uint32_t>(byte) << (8 * index);
        a.hasUnixTime = index == 3;
    }
}

// Levels 0 and 1: the S header bytes, then for level 1 the extended headers,
// of which the folder and the Unix time are kept.
bool ReadLevel01Header()
{
    LzhArchiveReader& a = lzhReader;
    const unsigned size = a.headerSize;
    if (size <= kLevelIndex) return false;
    if (!ReadArchiveBytes(a.header + kLevelIndex + 1, size - kLevelIndex - 1)) return false;

    std::uint8_t sum = 0;
    for (unsigned i = 0; i < size; ++i) sum = static_cast<std::uint8_t>(sum + a.header[i]);
    if (sum != a.headerSum) return false;

    const unsigned nameLength = a.header[kNameLengthIndex];
    unsigned extensionSize = 0;
    if (a.level == 0) {
        if (size < kLevel0MinSize || nameLength > size - kLevel0MinSize) return false;
        a.memberCrc = Le16(a.header + kLzhNameOffset + nameLength);
    } else {
        // The CRC, the system byte and the first extended size end the header.
        if (size < kLevel1MinSize || nameLength > size - kLevel1MinSize) return false;
        a.memberCrc = Le16(a.header + size - 5);
        extensionSize = Le16(a.header + size - 2);
    }
    a.packedLeft = Le32(a.header + kPackedSizeIndex);
    a.unpackedLeft = Le32(a.header + kUnpackedSizeIndex);
    a.header[kLzhNameOffset + nameLength] = 0;

    // The packed size counts the extended headers.
    while (extensionSize != 0) {
        if (extensionSize < 3 || extensionSize > a.packedLeft) return false;
        a.packedLeft -= extensionSize;
        const int type = ReadArchiveByte();
        if (type == EOF) return false;
        StartExtension(type);
        for (unsigned i = 0; i < extensionSize - 3; ++i) {
            const int c = ReadArchiveByte();
            if (c == EOF) return false;
            TakeExtensionByte(type, i, static_cast<std::uint8_t>(c));
        }
        std::uint8_t next[2];
        if (!ReadArchiveBytes(next, 2)) return false;
        extensionSize = Le16(next);
    }
    return true;
}

// Level 2: a two-byte total size, a fixed part, and extended headers that
// carry the name. The CRC-16 of the whole header, taken with its own field
// as zero, must match when the header has one. The packed data begins after
// the total size, or after the last extended header if that comes later.
bool ReadLevel2Header(unsigned totalSize)
{
    LzhArchiveReader& a = lzhReader;
    if (!ReadArchiveBytes(a.header + kLevelIndex + 1, kLevel2FixedSize - 2 - kLevelIndex - 1)) return false;
    std::uint16_t crc =
        CrcByte(CrcByte(0, static_cast<std::uint8_t>(totalSize)), static_cast<std::uint8_t>(totalSize >> 8));
    crc = UpdateLzhCrc(crc, a.header, kLevel2FixedSize - 2);
    a.memberCrc = Le16(a.header + kLevel2CrcIndex);
    a.packedLeft = Le32(a.header + kPackedSizeIndex);
    a.unpackedLeft = Le32(a.header + kUnpackedSizeIndex);

    unsigned extensionSize = Le16(a.header + kLevel2FirstExtensionIndex);
    std::uint32_t consumed = kLevel2FixedSize;
    char* name = MemberName();
    std::size_t nameLength = 0;
    bool hasHeaderCrc = false;
    unsigned headerCrc = 0;
    while (extensionSize != 0) {
        consumed += extensionSize;
        if (extensionSize < 3 || consumed > kLevel2MaxHeaderSize) return false;
        const int type = ReadArchiveByte();
        if (type == EOF) return false;
        crc = CrcByte(crc, static_cast<std::uint8_t>(type));
        if (type == kLzhFileNameExtension) {
            nameLength = 0;
            a.nameTooLong = false;
        }
        StartExtension(type);
        for (unsigned i = 0; i < extensionSize - 3; ++i) {
            const int c = ReadArchiveByte();
            if (c == EOF) return false;
            std::uint8_t byte = static_cast<std::uint8_t>(c);
            TakeExtensionByte(type, i, byte);
            if (type == kLzhHeaderCrcExtension && i < 2) {
                headerCrc |= static_cast<unsigned>(byte) << (8 * i);
                hasHeaderCrc = i == 1;
                byte = 0;
            } else if (type == kLzhFileNameExtension) {
                if (nameLength < kLzhMaxNameLength)
                    name[nameLength++] = static_cast<char>(byte);
                else
                    a.nameTooLong = true;
            }
            crc = CrcByte(crc, byte);
        }
        std::uint8_t next[2];
        if (!ReadArchiveBytes(next, 2)) return false;
        crc = UpdateLzhCrc(crc, next, 2);
        extensionSize = Le16(next);
    }
    for (; consumed < totalSize; ++consumed) {
        const int c = ReadArchiveByte();
        if (c == EOF) return false;
        crc = CrcByte(crc, static_cast<std::uint8_t>(c));
    }
    if (hasHeaderCrc && crc != headerCrc) return false;
    name[nameLength] = 0;
    return true;
}

// The path the member is written to: its name field, or with folders the
// directory extended header's folder and the name, backslashes between
// components.
void FormMemberPath()
{
    LzhArchiveReader& a = lzhReader;
    const char* name = MemberName();
    if (a.naming == LzhNaming::NameField) {
        std::memcpy(a.path, name, std::strlen(name) + 1);
        return;
    }
    std::size_t length = 0;
    bool fits = !a.directoryTooLong;
    auto put = [&](char c) {
        if (length == kLzhMaxPathLength)
            fits = false;
        else
            a.path[length++] = c == '/' ? '\\' : c;
    };
    for (std::size_t i = 0; i < a.directoryLength; ++i) put(a.directory[i]);
    if (length > 0 && a.path[length - 1] != '\\' && name[0]) put('\\');
    for (const char* c = name; *c; ++c) put(*c);
    // One that does not fit is not written; it is told by what fits.
    a.path[length] = 0;
    if (!fits) a.nameTooLong = true;
}

// Makes the folders that path holds, those missing, each component in turn;
// with whole, path itself too. False when one is not a folder when done.
bool MakePathFolders(const char* path, bool whole)
{
    char folder[kLzhMaxPathLength + 1];
    const std::size_t length = std::strlen(path);
    for (std::size_t i = 1; i <= length; ++i) {
        const bool end = i == length ? whole && !IsSeparator(path[i - 1]) : IsSeparator(path[i]);
        if (!end || IsSeparator(path[i - 1])) continue;
        std::memcpy(folder, path, i);
        folder[i] = 0;
        DiskPathInfo info{};
        if (StatDiskPath(folder, &info) == 0 && info.directory) continue;
        if (MakeDiskDirectory(folder) != 0 && (StatDiskPath(folder, &info) != 0 || !info.directory)) return false;
    }
    return true;
}

// Opens a new temporary file in the directory of name. False when none can
// be created there (no such directory, or name is no file name).
//
// The name carries the process id and a counter: temporaries that killed
// runs left behind have other process ids, or, where an id came round again,
// only move this run on to the next counter.
bool OpenMemberTemporary(const char* name)
{
    LzhArchiveReader& a = lzhReader;
    const std::size_t length = std::strlen(name);
    if (length == 0 || IsSeparator(name[length - 1])) return false;
    // A name the disk cannot take (a character the code page lacks, a
    // wildcard) is seen before the member is unpacked for nothing.
    char host[kHostPathMax];
    if (!ResolveDiskPath(name, host, sizeof host)) return false;
    std::size_t directoryLength = length;
    while (directoryLength > 0 && !IsSeparator(name[directoryLength - 1])) --directoryLength;

    // What killed runs left in this directory goes first, once a walk.
    char directory[kLzhTemporaryNameSize];
    std::snprintf(directory, sizeof directory, "%.*s", static_cast<int>(directoryLength), name);
    if (!a.sweptAny || std::strcmp(directory, a.swept) != 0) {
        SweepDiskTemporaries(directory, "~lzh");
        std::memcpy(a.swept, directory, sizeof a.swept);
        a.sweptAny = true;
    }
    const unsigned long processId = walk.processId;
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        if (!MakeTemporaryName(a.temporary, sizeof a.temporary, name, directoryLength, "~lzh", processId,
                               a.temporaryCounter++))
            break;
        a.output = CreateNewDiskFile(a.temporary);
        if (a.output) {
            // A stop by a signal removes it.
            WatchDiskTemporary(a.temporary);
            // Eight chunks to a write: a system call costs more than the copy
            // into the buffer.
            static char outputBuffer[8 * kLzhChunkSize];
            std::setvbuf(a.output, outputBuffer, _IOFBF, sizeof outputBuffer);
            return true;
        }
        if (errno != EEXIST) break;
    }
    a.temporary[0] = 0;
    return false;
}

// Writes count bytes to the output file; LzhFatal("Unable to write") when it
// takes fewer.
void WriteChunk(const std::uint8_t* data, std::size_t count)
{
    if (WriteDiskFile(data, 1, count, lzhReader.output) != count) LzhFatal("Unable to write");
}

// True when the method of the last header read is one this reader unpacks.
bool IsLzhMethodSupported()
{
    const std::uint8_t* method = lzhReader.header + kMethodIndex;
    const std::uint8_t kind = lzhReader.header[kMethodKindIndex];
    return method[0] == '-' && method[1] == 'l' && method[2] == 'h' && method[4] == '-' &&
           (kind == '0' || kind == '4' || kind == '5');
}

// True when name stays inside the current directory: not absolute, no drive,
// and no parent-directory component with either separator.
bool IsSafeMemberName(const char* name)
{
    if (IsSeparator(name[0])) return false;
    const unsigned char drive = static_cast<unsigned char>(name[0]) | 0x20;
    if (drive >= 'a' && drive <= 'z' && name[1] == ':') return false;
    // A component of dots and spaces with two dots or more names the parent
    // directory once the host strips trailing dots and spaces.
    const char* p = name;
    while (*p) {
        int dots = 0;
        bool onlyDotsAndSpaces = true;
        for (; *p && !IsSeparator(*p); ++p) {
            if (*p == '.')
                ++dots;
            else if (*p != ' ')
                onlyDotsAndSpaces = false;
        }
        if (onlyDotsAndSpaces && dots >= 2) return false;
        if (*p) ++p;
    }
    return true;
}

// IsSafeMemberName, and every component a name: none empty (but after a
// last separator) or made of dots and spaces alone, which Windows would take
// for no name or for a folder above.
bool IsSafeMemberPath(const char* path)
{
    if (!IsSafeMemberName(path)) return false;
    for (const char* p = path; *p;) {
        bool name = false;
        for (; *p && !IsSeparator(*p); ++p) name = name || (*p != '.' && *p != ' ');
        if (!name) return false;
        if (*p) ++p;
    }
    return true;
}

// Whether a component of path is a name Windows cannot give a file.
bool HasWindowsNameFault(const char* path)
{
    char name[kLzhMaxPathLength + 1];
    for (const char* p = path; *p;) {
        std::size_t length = 0;
        for (; *p && !IsSeparator(*p); ++p)
            if (length < kLzhMaxPathLength) name[length++] = *p;
        name[length] = 0;
        if (length > 0 && WindowsNameFault(name)) return true;
        if (*p) ++p;
    }
    return false;
}

// The faults of path alone: one that leads outside the current directory,
// or that Windows cannot name.
bool PathFault(const char* path, LzhMemberProblem& problem)
{
    const bool safe = lzhReader.naming == LzhNaming::Folders ? IsSafeMemberPath(path) : IsSafeMemberName(path);
    if (!safe)
        problem = LzhMemberProblem::UnsafeName;
    else if (HasWindowsNameFault(path))
        problem = LzhMemberProblem::WindowsName;
    else
        return false;
    return true;
}

// What a fatal stop does to the walk: closes the output and the archive and
// removes an open temporary file.
void AbandonWalk()
{
    LzhArchiveReader& a = lzhReader;
    if (a.output) CloseDiskFile(a.output);
    a.output = nullptr;
    if (a.temporary[0]) {
        RemoveDiskFile(a.temporary);
        ForgetDiskTemporary(a.temporary);
    }
    a.temporary[0] = 0;
    CloseLzhArchive();
}

// The defaults of the hooks: a full stop for each chunk written, and no
// line to end before a prompt.
void PutProgressStop() { std::fputc('.', stderr); }

void NothingBeforePrompt() {}

// Produces the member's content chunk by chunk, keeping its CRC, and writes
// each chunk when writing. False when the member's data ends early: a stored
// member's bytes, or the bits a compressed member decodes. A compressed
// member is stopped at the first chunk that used bits past its data, before
// that chunk is written: one that claims far more content than its bits
// hold decodes at most one chunk of filler and writes none.
bool UnpackMember(bool writing)
{
    LzhArchiveReader& a = lzhReader;
    const bool compressed = a.header[kMethodKindIndex] != '0';
    if (compressed) StartMemberDecoding(a.archive, a.packedLeft);
    a.contentCrc = 0;
    while (a.unpackedLeft != 0) {
        const unsigned n = a.unpackedLeft < kLzhChunkSize ? a.unpackedLeft : kLzhChunkSize;
        if (compressed) {
            DecodeChunk(n, a.chunk);
            a.packedLeft = lzhDecoder.packedLeft;
            if (LzhInputOverrun()) {
                FinishMemberDecoding();
                return false;
            }
        } else if (!ReadArchiveBytes(a.chunk, n)) {
            return false;
        }
        a.contentCrc = UpdateLzhCrc(a.contentCrc, a.chunk, n);
        if (writing) {
            WriteChunk(a.chunk, n);
            lzhChunkWritten();
        }
        a.unpackedLeft -= n;
    }
    // The stream goes on from where the bit input stopped.
    if (compressed) FinishMemberDecoding();
    return true;
}

}  // namespace

LzhReportFunction lzhReportMember = ReportUnwrittenMember;
LzhProgressFunction lzhChunkWritten = PutProgressStop;
LzhProgressFunction lzhBeforePrompt = NothingBeforePrompt;

void ReportUnwrittenMember(LzhMemberProblem problem, const char* name)
{
    const char* text;
    switch (problem) {
    case LzhMemberProblem::UnsafeName: text = "Unsafe name"; break;
    case LzhMemberProblem::NameTooLong: text = "Name too long"; break;
    case LzhMemberProblem::DataEnded: text = "Data ends early"; break;
    case LzhMemberProblem::CrcError: text = "CRC error"; break;
    case LzhMemberProblem::CannotReplace: text = "Unable to replace"; break;
    case LzhMemberProblem::WindowsName: text = "Name Windows forbids"; break;
    default: return;
    }
    std::fprintf(stderr, "\n%s: ", text);
    PutLzhName(stderr, name);
    std::fputc('\n', stderr);
}

void PutLzhName(std::FILE* to, const char* name)
{
    // Names are code page 949; people read them in the host's encoding.
    const std::string shown = SystemTextForDisplay(name);
    for (const unsigned char c : shown) std::fputc(c < 0x20 || c == 0x7F ? '?' : c, to);
}

bool OpenLzhArchive(const char* archiveName, LzhNaming naming)
{
    LzhArchiveReader& a = lzhReader;
    a.naming = naming;
    a.durable = false;
    a.askNames = true;
    a.archive = OpenDiskFile(archiveName, "rb");
    // The bit input takes the archive a byte at a time from the stream's
    // buffer; a larger one than the default means fewer reads of the file.
    static char archiveBuffer[65536];
    if (a.archive) std::setvbuf(a.archive, archiveBuffer, _IOFBF, sizeof archiveBuffer);
    a.archiveSize = 0;
    if (a.archive && SeekDiskFile(a.archive, 0, SEEK_END) == 0) {
        a.archiveSize = TellDiskFile(a.archive);
        if (SeekDiskFile(a.archive, 0, SEEK_SET) != 0) {
            CloseDiskFile(a.archive);
            a.archive = nullptr;
        }
    }
    a.output = nullptr;
    a.temporary[0] = 0;
    a.walkEnd = LzhWalkEnd::None;
    a.membersRead = 0;
    a.membersFailed = 0;
    a.temporaryCounter = 0;
    a.sweptAny = false;
    walk = {GetCurrentProcessId(), false, 0, 0};
    // Each walk starts from a window of zero bytes.
    std::memset(a.chunk, 0, sizeof a.chunk);
    lzhAbandon = a.archive ? AbandonWalk : nullptr;
    return a.archive != nullptr;
}

void CloseLzhArchive()
{
    LzhArchiveReader& a = lzhReader;
    if (a.archive) CloseDiskFile(a.archive);
    a.archive = nullptr;
    lzhAbandon = nullptr;
}

void ExtractLzhArchive(const char* archiveName)
{
    if (!OpenLzhArchive(archiveName)) return;
    while (ReadMemberHeader()) ExtractMember();
    CloseLzhArchive();
}

bool ReadMemberHeader()
{
    LzhArchiveReader& a = lzhReader;
    a.walkEnd = LzhWalkEnd::None;
    a.nameTooLong = false;
    a.packedLeft = 0;
    a.unpackedLeft = 0;
    a.hasUnixTime = false;
    a.unixTime = 0;
    a.directoryLength = 0;
    a.directoryTooLong = false;
    MemberName()[0] = 0;
    a.path[0] = 0;

    const int first = ReadArchiveByte();
    if (first == EOF) return EndWalk(LzhWalkEnd::FileEnd);
    if (first == 0) return EndWalk(LzhWalkEnd::EndMarker);
    const int second = ReadArchiveByte();
    if (second == EOF) return EndWalk(LzhWalkEnd::BadHeader);
    a.headerSize = static_cast<std::uint8_t>(first);
    a.headerSum = static_cast<std::uint8_t>(second);

    // Offsets 2 to 20 end with the level byte in every header level.
    if (!ReadArchiveBytes(a.header, kLevelIndex + 1)) return EndWalk(LzhWalkEnd::BadHeader);
    a.level = a.header[kLevelIndex];
    const bool read =
        a.level == 2 ? ReadLevel2Header(static_cast<unsigned>(first | (second << 8))) : ReadLevel01Header();
    if (!read) {
        MemberName()[0] = 0;
        return EndWalk(LzhWalkEnd::BadHeader);
    }
    a.packedSize = a.packedLeft;
    a.unpackedSize = a.unpackedLeft;
    a.headerTime = Le32(a.header + kTimeIndex);
    if (a.level == 2 && !a.hasUnixTime) {
        a.hasUnixTime = true;
        a.unixTime = a.headerTime;
    }
    FormMemberPath();
    ++a.membersRead;
    return true;
}

bool IsLzhFolderMember()
{
    const LzhArchiveReader& a = lzhReader;
    if (std::memcmp(a.header + kMethodIndex, "-lhd-", 5) == 0) return true;
    // Some archivers store a folder as an empty file whose path ends with a
    // separator.
    const std::size_t length = std::strlen(a.path);
    return a.naming == LzhNaming::Folders && a.unpackedSize == 0 && length > 0 && IsSeparator(a.path[length - 1]);
}

long long LzhMemberTime()
{
    const LzhArchiveReader& a = lzhReader;
    if (a.hasUnixTime) return a.unixTime;
    // Bits: year since 1980 (7), month, day, hours, minutes, seconds / 2.
    const std::uint32_t t = a.headerTime;
    std::tm local{};
    local.tm_year = static_cast<int>(t >> 25) + 80;
    local.tm_mon = static_cast<int>((t >> 21) & 0x0F) - 1;
    local.tm_mday = static_cast<int>((t >> 16) & 0x1F);
    local.tm_hour = static_cast<int>((t >> 11) & 0x1F);
    local.tm_min = static_cast<int>((t >> 5) & 0x3F);
    local.tm_sec = static_cast<int>(t & 0x1F) * 2;
    local.tm_isdst = -1;
    if (!walk.timeKnown || walk.dosTime != t) walk = {walk.processId, true, t, std::mktime(&local)};
    return walk.unixTime;
}

LzhTargetCheck lzhCheckTarget = nullptr;

// Every folder on the way a real one (a link would take the file
// elsewhere), what is there a regular file or nothing, then what the caller
// says.
bool LzhTargetAllowed(const char* path, LzhMemberProblem& problem)
{
    char part[kLzhMaxPathLength + 1];
    const std::size_t length = std::strlen(path);
    for (std::size_t i = 1; i <= length && i <= kLzhMaxPathLength; ++i) {
        if (i < length && !IsSeparator(path[i])) continue;
        std::memcpy(part, path, i);
        part[i] = 0;
        DiskPathInfo info{};
        if (StatDiskPath(part, &info) != 0) break;  // nothing there: nothing below it either
        if (info.link) {
            problem = LzhMemberProblem::ThroughLink;
            return false;
        }
        if (i == length && !info.file) {
            problem = LzhMemberProblem::NotAFile;
            return false;
        }
    }
    if (lzhCheckTarget && lzhCheckTarget(path, problem)) return false;
    return true;
}

bool LzhMemberFault(LzhMemberProblem& problem)
{
    const LzhArchiveReader& a = lzhReader;
    const bool folder = a.naming == LzhNaming::Folders && IsLzhFolderMember();
    if (!folder && !IsLzhMethodSupported())
        problem = LzhMemberProblem::UnsupportedMethod;
    else if (a.nameTooLong)
        problem = LzhMemberProblem::NameTooLong;
    // Links are not made: one would lead wherever the archive says.
    else if (folder && std::strchr(a.path, '|'))
        problem = LzhMemberProblem::SymbolicLink;
    else
        return PathFault(a.path, problem);
    return true;
}

bool ExtractMember()
{
    LzhArchiveReader& a = lzhReader;
    char* name = a.path;
    const bool folders = a.naming == LzhNaming::Folders;
    const bool folder = folders && IsLzhFolderMember();
    auto passOver = [&](LzhMemberProblem problem) {
        ReportMember(problem, name);
        SkipMember();
        return false;
    };
    LzhMemberProblem fault = LzhMemberProblem::UnsafeName;
    if (LzhMemberFault(fault)) return passOver(fault);
    for (;;) {
        // A replacement name is looked at as the member's own was.
        if (PathFault(name, fault)) return passOver(fault);
        LzhMemberProblem refused = LzhMemberProblem::UnsafeName;
        if (!folder && !LzhTargetAllowed(name, refused)) return passOver(refused);
        if (folder) {
            // A folder without a name is the current directory, there already.
            if (name[0] && !MakePathFolders(name, true)) return passOver(LzhMemberProblem::CannotCreate);
            SkipMember();
            return true;
        }
        // The folders are looked at only when the file cannot be made
        // without them: most members go where the ones before them went.
        if (OpenMemberTemporary(name) || (folders && MakePathFolders(name, false) && OpenMemberTemporary(name))) break;
        // The file can't be created: ask for another name. The member keeps
        // the last name tried, to be told by.
        char replacement[kLzhMaxNameLength + 1];
        const std::size_t length = a.askNames ? ReadReplacementName(replacement, kLzhMaxNameLength) : 0;
        if (length == 0) return passOver(name[0] ? LzhMemberProblem::CannotCreate : LzhMemberProblem::EmptyName);
        std::memcpy(name, replacement, length + 1);
    }

    const bool complete = UnpackMember(true);
    // Over a file that is there, the data is on the disk before the name:
    // a power loss leaves the old file or the new one.
    DiskPathInfo there{};
    const bool replaces = complete && StatDiskPath(name, &there) == 0 && there.file;
    const bool synced = !(a.durable && replaces) || SyncDiskFile(a.output) == 0;
    const bool closed = CloseDiskFile(a.output) == 0 && synced;
    a.output = nullptr;
    if (!closed) LzhFatal("Unable to write");

    // The file that takes another's place allows what the other allowed.
    const bool kept = !replaces || a.contentCrc != a.memberCrc || CopyDiskPermissions(name, a.temporary) == 0;
    if (complete && a.contentCrc == a.memberCrc && kept) {
        // Forgotten before it is renamed: a stop between the two leaves it
        // to the next walk's sweep.
        ForgetDiskTemporary(a.temporary);
        if (RenameDiskFile(a.temporary, name) == 0) {
            a.temporary[0] = 0;
            return true;
        }
    }
    const LzhMemberProblem problem = !complete                     ? LzhMemberProblem::DataEnded
                                     : a.contentCrc != a.memberCrc ? LzhMemberProblem::CrcError
                                                                   : LzhMemberProblem::CannotReplace;
    RemoveDiskFile(a.temporary);
    ForgetDiskTemporary(a.temporary);
    a.temporary[0] = 0;
    ReportMember(problem, name);
    return false;
}

LzhMemberCheck CopyMemberTo(std::FILE* to)
{
    LzhArchiveReader& a = lzhReader;
    if (!IsLzhMethodSupported()) {
        SkipMember();
        return LzhMemberCheck::Skipped;
    }
    a.output = to;
    const bool complete = UnpackMember(true);
    a.output = nullptr;
    if (!complete) return LzhMemberCheck::DataEnded;
    return a.contentCrc == a.memberCrc ? LzhMemberCheck::Good : LzhMemberCheck::CrcError;
}

LzhMemberCheck TestMember()
{
    LzhArchiveReader& a = lzhReader;
    if (!IsLzhMethodSupported()) {
        SkipMember();
        return LzhMemberCheck::Skipped;
    }
    if (!UnpackMember(false)) return LzhMemberCheck::DataEnded;
    return a.contentCrc == a.memberCrc ? LzhMemberCheck::Good : LzhMemberCheck::CrcError;
}

void SkipMember()
{
    LzhArchiveReader& a = lzhReader;
    constexpr std::uint32_t kLargestStep = 1u << 30;
    while (a.packedLeft > 0) {
        const std::uint32_t step = a.packedLeft < kLargestStep ? a.packedLeft : kLargestStep;
        if (SeekDiskFile(a.archive, static_cast<long>(step), SEEK_CUR) != 0) break;
        a.packedLeft -= step;
    }
    a.packedLeft = 0;
}

std::size_t ReadReplacementName(char* buffer, std::size_t maxLength)
{
    // Someone at a terminal is told what the line is for; a redirected or
    // closed standard input is read without a word. A terminal whose
    // output goes elsewhere is not asked: nobody would see the question.
    const bool terminal = _isatty(_fileno(stdin)) != 0;
    if (terminal && !_isatty(_fileno(stdout))) {
        buffer[0] = 0;
        return 0;
    }
    if (terminal) {
        lzhBeforePrompt();
        std::fputs("Cannot create \"", stderr);
        PutLzhName(stderr, LzhMemberPath());
        std::fputs("\". New name (an empty line skips it): ", stderr);
    }
    const bool typed = terminal;
    std::size_t stored = 0;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
        if (stored < maxLength) buffer[stored++] = static_cast<char>(c);
    }
    buffer[stored] = 0;
    // A name typed at a terminal is in the terminal's encoding: it becomes a
    // name of the system code page, or none when it has no form there.
    std::string name;
    if (typed && stored > 0) {
        if (!HostToSystemText(buffer, name) || name.size() > maxLength) name.clear();
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        stored = name.size();
    }
    return stored;
}
