// Unpacking update.lzh for a patch run.
#include "update/UpdateArchive.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "pack/PackFormat.h"
#include "pack/PackText.h"
#include "platform/AsciiCase.h"
#include "platform/Disk.h"
#include "platform/Win32.h"
#include "update/Globals.h"

namespace {

constexpr char kArchiveName[] = "update.lzh";
constexpr char kPatchPackName[] = "Update.pak";
// The longest pack file: the header, the table and a full data area.
constexpr std::uint64_t kLargestPack =
    static_cast<std::uint64_t>(pack::kDataOffset) + static_cast<std::uint64_t>(pack::kMaxBlocks) * pack::kBlockSize;

UnpackedArchive unpacked;

// How many bytes of the code page text fit in room without splitting a
// two-byte character.
std::size_t WholeCharacters(const char* text, std::size_t room)
{
    std::size_t n = 0;
    while (text[n]) {
        const std::size_t width = static_cast<unsigned char>(text[n]) >= 0x81 && text[n + 1] ? 2 : 1;
        if (n + width > room) break;
        n += width;
    }
    return n;
}

// What went wrong, for the terminal (format) and for the message (shown,
// after the archive's name), each with name in the place of its %s.
void UnpackProblem(const char* format, const char* shown, const char* name)
{
    if (!unpacked.whole) return;
    unpacked.whole = false;
    // A long name is cut.
    if (std::snprintf(unpacked.problem, sizeof unpacked.problem, format, name) < 0) unpacked.problem[0] = 0;
    const std::string head = std::string(kArchiveName) + ": ";
    const int words = std::snprintf(nullptr, 0, shown, "");
    const std::size_t room = sizeof unpacked.shown - 1 - head.size() - static_cast<std::size_t>(words < 0 ? 0 : words);
    const std::string fitting(name, WholeCharacters(name, room));
    if (std::snprintf(unpacked.shown, sizeof unpacked.shown, (head + shown).c_str(), fitting.c_str()) < 0)
        pack::CopyText(unpacked.shown, kArchiveName, sizeof unpacked.shown);
}

struct ProblemWords {
    const char* note;
    const char* shown;
};

ProblemWords ProblemText(LzhMemberProblem problem)
{
    switch (problem) {
    case LzhMemberProblem::UnsupportedMethod:
        return {"%s: a method this patcher does not unpack", "unknown method of member %s"};
    case LzhMemberProblem::EmptyName: return {"a member without a name%s", "a member without a name%s"};
    case LzhMemberProblem::UnsafeName: return {"%s: a name that leads outside the folder", "member %s leads outside"};
    case LzhMemberProblem::NameTooLong: return {"%s: a name too long", "member name too long: %s"};
    case LzhMemberProblem::DataEnded: return {"%s: its data ends early", "damaged member %s"};
    case LzhMemberProblem::CrcError: return {"%s: CRC error", "damaged member %s"};
    case LzhMemberProblem::CannotReplace:
        return {"%s: cannot replace the file of that name", "member %s cannot replace its file"};
    case LzhMemberProblem::SymbolicLink: return {"%s: a symbolic link", "member %s is a symbolic link"};
    case LzhMemberProblem::ThroughLink:
        return {"%s: its path passes through a symbolic link, which would take it out of the patch folder",
                "member %s passes through a link"};
    case LzhMemberProblem::NotAFile:
        return {"%s: what is there is no regular file (a folder, a pipe, a device)", "member %s is no file"};
    case LzhMemberProblem::Protected:
        return {"%s: would replace update.lzh, the game pack or the patcher itself",
                "member %s is a file the run holds"};
    case LzhMemberProblem::WindowsName:
        return {
            "%s: a name Windows cannot give a file (a device's name, a trailing dot or space, a control "
            "character, or one of < > : \" / \\ | ? *)",
            "member %s has a name Windows forbids"};
    case LzhMemberProblem::Kept: return {"%s: the file there is kept", "member %s not written"};
    case LzhMemberProblem::CannotCreate:
        return {"%s: cannot be created (a folder it needs is missing, or the patch folder may not be written)",
                "member %s cannot be written"};
    }
    return {"%s: cannot be unpacked", "member %s cannot be unpacked"};
}

bool IsFolderMember() { return IsLzhFolderMember() && lzhReader.unpackedSize == 0; }

// The files the run holds or reads, which no member may become: the archive
// itself, the game pack and the running program, each as the disk has it
// (its device and inode, and its resolved path for a platform without them).
struct HeldFile {
    bool known;
    DiskPathInfo info;
    char host[kHostPathMax];
};
HeldFile heldFiles[3];

void KnowHeldFile(HeldFile& held, const char* path)
{
    held.known = path[0] && StatDiskPath(path, &held.info) == 0 && ResolveDiskPath(path, held.host, sizeof held.host);
}

// lzhCheckTarget: a member whose path is one of the held files, in any
// letter case or through any name, is refused.
bool IsHeldFile(const char* path, LzhMemberProblem& problem)
{
    DiskPathInfo info{};
    if (StatDiskPath(path, &info) != 0) return false;
    static char host[kHostPathMax];
    const bool resolved = ResolveDiskPath(path, host, sizeof host);
    for (const HeldFile& held : heldFiles) {
        if (!held.known) continue;
        const bool same = info.inode != 0 || held.info.inode != 0
                              ? info.device == held.info.device && info.inode == held.info.inode
                              : resolved && ascii::EqualIgnoringCase(host, held.host);
        if (same) {
            problem = LzhMemberProblem::Protected;
            return true;
        }
    }
    return false;
}

// A file's room on a disk, in its usual 4 KB clusters.
std::uint64_t OnDisk(std::uint64_t bytes) { return (bytes + 4095) / 4096 * 4096; }

// Reads every header before anything is unpacked: the archive must reach its
// end marker, hold an Update.pak no larger than a pack can be, and fit the
// folder it is unpacked into. False after noting what is wrong.
bool SurveyArchive(const char* into)
{
    if (!OpenLzhArchive(kArchiveName)) {
        UnpackProblem("%s cannot be read", "cannot be read", kArchiveName);
        return false;
    }
    std::uint64_t needed = 0;
    bool hasPack = false;
    std::uint32_t packSize = 0;
    while (ReadMemberHeader()) {
        // Where each member would land is looked at here, in the patch
        // folder, even when a dry run unpacks elsewhere.
        LzhMemberProblem refused = LzhMemberProblem::UnsafeName;
        if (!IsFolderMember() && !LzhTargetAllowed(LzhMemberPath(), refused)) {
            const ProblemWords words = ProblemText(refused);
            UnpackProblem(words.note, words.shown, LzhMemberPath());
        }
        if (!IsFolderMember()) needed += OnDisk(lzhReader.unpackedSize);
        if (!IsFolderMember() && ascii::EqualIgnoringCase(LzhMemberName(), kPatchPackName)) {
            hasPack = true;
            packSize = lzhReader.unpackedSize;
        }
        SkipMember();
    }
    const LzhWalkEnd end = lzhReader.walkEnd;
    const std::uint32_t members = lzhReader.membersRead;
    CloseLzhArchive();
    if (end == LzhWalkEnd::BadHeader)
        UnpackProblem("a damaged header after %s", "damaged header after %s",
                      std::to_string(members).append(members == 1 ? " member" : " members").c_str());
    else if (end == LzhWalkEnd::FileEnd)
        UnpackProblem("%s ends before its end marker", "ends before its end marker", kArchiveName);
    else if (!unpacked.whole)
        ;  // a member that may not be made
    else if (!hasPack)
        UnpackProblem("%s holds no Update.pak: the patch is not in it", "holds no Update.pak", kArchiveName);
    else if (packSize > kLargestPack)
        UnpackProblem("its Update.pak says it is %s bytes, more than a pack file can be",
                      "Update.pak larger than a pack can be", std::to_string(packSize).c_str());
    if (!unpacked.whole) return false;
    std::uint64_t free = 0;
    if (FreeDiskSpace(into ? into : ".", &free) == 0 && needed > free) {
        const std::string room = std::to_string(needed) + " bytes needed, " + std::to_string(free) + " free";
        UnpackProblem("the folder it is unpacked into has no room for it (%s)", "no room to unpack it (%s)",
                      room.c_str());
        return false;
    }
    return true;
}

// The patcher's account of a member it does not write: each one makes the
// archive unusable, but for a folder's member, which holds nothing (no
// folders are made).
void ReportPatchMember(LzhMemberProblem problem, const char* name)
{
    if (problem == LzhMemberProblem::UnsupportedMethod && IsFolderMember()) return;
    ReportUnwrittenMember(problem, name);
    const ProblemWords words = ProblemText(problem);
    UnpackProblem(words.note, words.shown, name);
}

// A fatal stop of the walk ("Bad table", "Unable to write") comes back here:
// the walk is abandoned already, its temporary removed, and nothing below the
// walk holds anything to be undone.
std::jmp_buf unpackStopped;
void StopUnpacking() { std::longjmp(unpackStopped, 1); }

// Walks the archive; false when it stopped at a fatal error.
bool WalkArchive()
{
    if (setjmp(unpackStopped) != 0) return false;
    while (ReadMemberHeader()) ExtractMember();
    CloseLzhArchive();
    return true;
}

// Where the unpacking's progress goes while the walk runs.
UpdateUi* unpackUi = nullptr;

void ShowUnpackProgress() { unpackUi->ShowUnpacking(TellDiskFile(lzhReader.archive), lzhReader.archiveSize, false); }

}  // namespace

const UnpackedArchive& UnpackUpdateArchive(UpdateUi& ui, const char* into)
{
    unpacked = UnpackedArchive{false, true, 0, {}, {}};
    DiskPathInfo info{};
    // Only an archive that is surely not there is none: one that cannot be
    // looked at would leave an earlier Update.pak in its place.
    const bool there = StatDiskPath(kArchiveName, &info) == 0;
    unpacked.found = there || errno != ENOENT;
    if (!unpacked.found) return unpacked;
    if (!there) {
        UnpackProblem("%s cannot be read", "cannot be read", kArchiveName);
        return unpacked;
    }
    // Only a file is read: a pipe would keep the run waiting for ever.
    if (!info.file) {
        UnpackProblem(info.directory ? "%s is a folder" : "%s is no regular file (a pipe or a device)",
                      "is no regular file", kArchiveName);
        return unpacked;
    }
    // What no member may become, learnt before the walk moves anywhere.
    KnowHeldFile(heldFiles[0], kArchiveName);
    char path[kMaxPath];
    KnowHeldFile(heldFiles[1], JoinPath(path, GameDir, "Dev\\Kivra.pak") ? path : "");
    KnowHeldFile(heldFiles[2], GetModuleFileNameA(nullptr, path, sizeof path) > 0 ? path : "");
    const LzhTargetCheck check = lzhCheckTarget;
    lzhCheckTarget = IsHeldFile;
    const bool surveyed = SurveyArchive(into);
    lzhCheckTarget = check;
    if (!surveyed) return unpacked;
    if (MayWriteDiskPath(into ? into : ".") != 0) {
        UnpackProblem("the folder %s is unpacked into may not be written", "its folder may not be written",
                      kArchiveName);
        return unpacked;
    }
    if (!OpenLzhArchive(kArchiveName)) {
        UnpackProblem("%s cannot be read", "cannot be read", kArchiveName);
        return unpacked;
    }
    // A member that cannot be made stops the patch: nobody is asked for
    // another name.
    lzhReader.askNames = false;
    if (into && ChangeDiskDirectory(into) != 0) {
        CloseLzhArchive();
        UnpackProblem("%s cannot be unpacked", "cannot be unpacked", kArchiveName);
        return unpacked;
    }
    unpackUi = &ui;
    const LzhProgressFunction chunkWritten = lzhChunkWritten;
    const LzhReportFunction reportMember = lzhReportMember;
    const LzhStopFunction fatal = lzhStop;
    lzhChunkWritten = ShowUnpackProgress;
    lzhReportMember = ReportPatchMember;
    lzhStop = StopUnpacking;
    lzhCheckTarget = IsHeldFile;
    if (!WalkArchive())
        UnpackProblem("%s: stopped at a damaged member", "damaged member %s",
                      LzhMemberName()[0] ? LzhMemberName() : "?");
    lzhCheckTarget = check;
    lzhStop = fatal;
    lzhReportMember = reportMember;
    // Every archiver ends an archive with its end marker: one that ends
    // before it, or at a damaged header, has lost members.
    if (lzhReader.walkEnd == LzhWalkEnd::BadHeader)
        UnpackProblem(
            "a damaged header after %s", "damaged header after %s",
            std::to_string(lzhReader.membersRead).append(lzhReader.membersRead == 1 ? " member" : " members").c_str());
    else if (lzhReader.walkEnd == LzhWalkEnd::FileEnd)
        UnpackProblem("%s ends before its end marker", "ends before its end marker", kArchiveName);
    // A walk that reached the archive's end has read all of it.
    const bool ended = lzhReader.walkEnd == LzhWalkEnd::EndMarker || lzhReader.walkEnd == LzhWalkEnd::FileEnd;
    ui.ShowUnpacking(ended ? lzhReader.archiveSize : -1, lzhReader.archiveSize, true);
    lzhChunkWritten = chunkWritten;
    unpacked.members = lzhReader.membersRead;
    return unpacked;
}
