// The LZH archive reader: walks "update.lzh" once, front to back, and writes
// each member into the current directory.
//
// Members are read from level-0, level-1 and level-2 headers. Stored members
// (-lh0-) are copied, compressed ones (-lh4-, -lh5-) go through the decoder of
// LzhDecoder.h, which is handed the archive stream and the member's packed
// size; any other method is passed over. Every member is written to a
// temporary file next to its target and takes the member's name only when its
// CRC-16 matches, so a damaged member never replaces a file.
//
// What a member's name means is the caller's choice (LzhNaming): the patcher
// takes the name field alone and makes no folders; the lzh tool puts the
// folder of the directory extended header in front of it and makes folders,
// those of -lhd- members among them.
//
// The reader keeps no account of the lines on stderr. Its defaults write a
// full stop for each chunk and lines that start with a line feed of their
// own; a program that keeps a line of progress there installs the hooks
// below (lzhChunkWritten, lzhReportMember, lzhBeforePrompt) and its lzhStop.
//
// All state is the one process-wide record lzhReader; a walk is not re-entrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "lzh/LzhFormat.h"

inline constexpr std::size_t kLzhChunkSize = kLzhWindowSize;  // output chunk, and the decoder's window
inline constexpr std::size_t kLzhHeaderBufferSize = 256;
inline constexpr std::size_t kLzhNameOffset = 20;      // the name's place in header
inline constexpr std::size_t kLzhMaxNameLength = 230;  // longest name the header buffer takes
// Longest path a member may have with its folders: what a Windows path
// below the current directory can hold.
inline constexpr std::size_t kLzhMaxPathLength = 259;
// A temporary's name: the member's directory (at most kLzhMaxPathLength
// characters) and "~lzhPID-COUNTER.tmp".
inline constexpr std::size_t kLzhTemporaryNameSize = kLzhMaxPathLength + 40;

// What names a member's file.
enum class LzhNaming : std::uint8_t {
    NameField,  // the name field alone (a level-2 header's file name extended header), as it stands
    Folders,    // the directory extended header's folder, then the name; '/' becomes '\'
};

// Why the last ReadMemberHeader yielded false.
enum class LzhWalkEnd : std::uint8_t {
    None,       // the walk has not ended
    EndMarker,  // the zero byte in place of a header
    FileEnd,    // the end of the file where a header would begin
    BadHeader,  // a checksum or CRC mismatch, fields that don't fit, or a header cut short
};

// How a member fared when it was decoded without being written.
enum class LzhMemberCheck : std::uint8_t {
    Good,       // content complete and its CRC matches
    Skipped,    // a method this reader doesn't unpack
    CrcError,   // content complete but its CRC differs
    DataEnded,  // the data ended early: a stored member's bytes, a compressed one's bits
};

// Why the walk does not write a member.
enum class LzhMemberProblem : std::uint8_t {
    UnsupportedMethod,  // a method this reader doesn't unpack
    EmptyName,          // no name, and no replacement name given
    UnsafeName,         // the name reaches outside the current directory
    NameTooLong,        // a level-2 name longer than kLzhMaxNameLength, or a path longer than kLzhMaxPathLength
    CannotCreate,       // its file can't be created, and no replacement name given
    DataEnded,          // its data ends early
    CrcError,           // its content doesn't match its CRC
    CannotReplace,      // the finished temporary can't take the member's name
    SymbolicLink,       // a folder's member named "LINK|TARGET", as Unix archivers store a link
    ThroughLink,        // its path passes through a symbolic link (or is one): it would land elsewhere
    NotAFile,           // what its path names is no regular file (a folder, a pipe, a device)
    Protected,          // its path names a file the caller holds or reads (lzhCheckTarget)
    WindowsName,        // a component of its path is a name Windows cannot give a file (WindowsNameFault)
    Kept,               // a file is there, and the caller keeps it (lzhCheckTarget)
};

struct LzhArchiveReader {
    std::FILE* archive;
    long archiveSize;  // bytes in the archive file
    // The header bytes from offset 2 on. After ReadMemberHeader the member's
    // name lies at header + kLzhNameOffset, zero-terminated, for every level.
    std::uint8_t header[kLzhHeaderBufferSize];
    std::uint8_t headerSize;     // S: the first header byte
    std::uint8_t headerSum;      // the checksum byte of levels 0 and 1
    std::uint32_t packedLeft;    // packed data of the member not yet consumed (by the decoder, after each chunk)
    std::uint32_t unpackedLeft;  // content bytes not yet produced
    std::FILE* output;
    std::uint8_t chunk[kLzhChunkSize];  // output chunk, and the decoder's window

    LzhNaming naming;  // chosen when the archive is opened
    // A member that takes the place of a file that was there is on the disk
    // before it does (the lzh tool's walk; the patcher unpacks into a folder
    // of its own, which a rerun unpacks again). False when the archive opens.
    bool durable;
    // A member that cannot be created is given another name, asked for on
    // standard input (ReadReplacementName); without, it is passed over. True
    // when the archive opens.
    bool askNames;
    std::uint8_t level;        // header level as read (0, 1 or 2)
    std::uint32_t headerTime;  // offset 15: MS-DOS time (levels 0, 1), Unix time (level 2)
    bool hasUnixTime;          // a Unix time extended header, or level 2
    std::uint32_t unixTime;    // seconds since 1970 (UTC)
    // The folder of the directory extended header, components ended by
    // backslashes; empty when there is none.
    char directory[kLzhMaxPathLength + 1];
    std::uint16_t directoryLength;
    bool directoryTooLong;  // longer than kLzhMaxPathLength
    // The path the walk writes the member to, as naming says. Replacement
    // names go here.
    char path[kLzhMaxPathLength + 1];
    std::uint16_t memberCrc;                // the header's CRC-16 of the content
    std::uint16_t contentCrc;               // CRC-16 of the content produced so far
    std::uint32_t packedSize;               // packed data bytes, extended headers not counted
    std::uint32_t unpackedSize;             // the member's content size
    bool nameTooLong;                       // a level-2 name longer than kLzhMaxNameLength
    char temporary[kLzhTemporaryNameSize];  // the open temporary file; empty when none
    std::uint32_t temporaryCounter;         // the next counter for a temporary's name in this walk
    // The directory this walk last swept of killed runs' temporaries, when
    // sweptAny: a folder's members come one after another, and its sweep is
    // made once for them.
    char swept[kLzhTemporaryNameSize];
    bool sweptAny;
    LzhWalkEnd walkEnd;
    std::uint32_t membersRead;    // headers read in this walk
    std::uint32_t membersFailed;  // members not written, each given to lzhReportMember
};

extern LzhArchiveReader lzhReader;

// Unpacks the archive archiveName (a disk path) into the current directory,
// each member named by its name field alone. A missing archive, a finished
// one and a damaged one look alike: it returns when the walk has ended,
// unless LzhFatal has stopped the process.
void ExtractLzhArchive(const char* archiveName);

// Opens the archive and makes the reader ready for a walk; false when it can't
// be opened. CloseLzhArchive ends the walk. While the walk is open, a fatal
// stop (LzhFatal) abandons it: the member's file and the archive are closed
// and no temporary file is left behind.
bool OpenLzhArchive(const char* archiveName, LzhNaming naming = LzhNaming::NameField);
void CloseLzhArchive();

// Reads the next member header, including its extended headers, and leaves
// the stream at the member's packed data. False at the end of the walk; the
// reason is in lzhReader.walkEnd.
bool ReadMemberHeader();

// Writes the member whose header was just read to lzhReader.path, or passes
// over it and tells lzhReportMember why; true when written. With
// LzhNaming::Folders the folders of the path are made first, those missing,
// and a folder's member (-lhd-) is the folder made. A member that takes the
// place of a file keeps that file's permission bits.
bool ExtractMember();

// What keeps ExtractMember from writing the member whose header was just
// read, as the archive alone tells (not the disk): a method this reader does
// not unpack (not asked of a folder's member), a name too long, a link's
// folder member, a path that leads outside the current directory, or one
// with a component Windows cannot give a file. False when nothing does.
bool LzhMemberFault(LzhMemberProblem& problem);

// Decodes the member whose header was just read into to, chunk by chunk
// (lzhChunkWritten after each), and checks its CRC as TestMember does; what
// was decoded is written even when the CRC then differs. A write that fails
// stops the walk (LzhFatal).
LzhMemberCheck CopyMemberTo(std::FILE* to);

// Decodes the member whose header was just read without writing it, and checks
// its CRC. Leaves the stream where ExtractMember would.
LzhMemberCheck TestMember();

// Called once for each member that ExtractMember does not write, with the
// member's name (the last one tried, after replacement names). The default,
// ReportUnwrittenMember, is the patcher's: it writes nothing for a method it
// doesn't unpack or a file that can't be created (the player is not asked
// about either) and a line "\nPROBLEM: NAME\n" on stderr for the rest, which
// starts with its own line feed. A program that keeps its own account
// installs its own.
using LzhReportFunction = void (*)(LzhMemberProblem problem, const char* name);
extern LzhReportFunction lzhReportMember;
void ReportUnwrittenMember(LzhMemberProblem problem, const char* name);

// Called with each member's path before its file is made; a problem stops
// the member from being written (it is passed over and told through
// lzhReportMember), false for none. The default (null) lets every member
// be written. The reader itself refuses a path that passes through a
// symbolic link or names what is no regular file.
using LzhTargetCheck = bool (*)(const char* path, LzhMemberProblem& problem);
extern LzhTargetCheck lzhCheckTarget;

// Whether a member's file may be made at path, as ExtractMember asks before
// it makes one (in the current directory): false with the problem when its
// path passes through a symbolic link, names what is no regular file, or
// lzhCheckTarget refuses it.
bool LzhTargetAllowed(const char* path, LzhMemberProblem& problem);

// Called after each chunk of a member is written. The default writes one
// full stop on stderr, and keeps no account of the line. A program that
// shows progress its own way installs its own; lzhReader.archive's position
// then tells how much of the archive has been read, of lzhReader.archiveSize.
using LzhProgressFunction = void (*)();
extern LzhProgressFunction lzhChunkWritten;

// Called before the prompt of ReadReplacementName goes to stderr, so that a
// program that keeps a line of progress there can end it first. The default
// does nothing.
extern LzhProgressFunction lzhBeforePrompt;

// Writes name to a stream with its control bytes shown as '?'.
void PutLzhName(std::FILE* to, const char* name);

// Moves the archive stream forward by packedLeft bytes.
void SkipMember();

// Reads one line from standard input into buffer: at most maxLength characters
// are kept, the line feed is not, and the buffer is zero-terminated. Yields
// the number of characters stored. Someone at a terminal (standard input
// and output both terminals) is first asked on stderr, in a prompt that
// names the member (LzhMemberPath) and says that an empty line skips it;
// lzhBeforePrompt is called before it. Standard input that is a terminal
// while the output goes elsewhere is not read (nobody would know what it
// waits for): 0.
std::size_t ReadReplacementName(char* buffer, std::size_t maxLength);

// The member name of the last header read.
inline const char* LzhMemberName() { return reinterpret_cast<const char*>(lzhReader.header + kLzhNameOffset); }

// The path of the last header read, as the archive was opened to name it.
inline const char* LzhMemberPath() { return lzhReader.path; }

// True when the last header read is a folder's member: -lhd-, or with
// LzhNaming::Folders an empty member whose path ends with a separator.
bool IsLzhFolderMember();

// The member's time, in seconds since 1970 (UTC): the Unix time extended
// header's, else the header's MS-DOS time taken as local time.
long long LzhMemberTime();
