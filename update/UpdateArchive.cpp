// Unpacking update.lzh for a patch run.
#include "update/UpdateArchive.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>

#include "lzh/LzhArchive.h"
#include "lzh/LzhDecoder.h"
#include "pack/PackText.h"
#include "platform/Disk.h"

namespace {

constexpr char kArchiveName[] = "update.lzh";

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
    case LzhMemberProblem::CannotCreate: return {"%s: cannot be created", "member %s cannot be written"};
    case LzhMemberProblem::DataEnded: return {"%s: its data ends early", "damaged member %s"};
    case LzhMemberProblem::CrcError: return {"%s: CRC error", "damaged member %s"};
    case LzhMemberProblem::CannotReplace:
        return {"%s: cannot replace the file of that name", "member %s cannot replace its file"};
    case LzhMemberProblem::SymbolicLink: return {"%s: a symbolic link", "member %s is a symbolic link"};
    }
    return {"%s: cannot be unpacked", "member %s cannot be unpacked"};
}

bool IsFolderMember() { return IsLzhFolderMember() && lzhReader.unpackedSize == 0; }

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
    unpacked.found = StatDiskPath(kArchiveName, &info) == 0 || errno != ENOENT;
    if (!unpacked.found) return unpacked;
    if (info.directory || !OpenLzhArchive(kArchiveName)) {
        UnpackProblem("%s cannot be read", "cannot be read", kArchiveName);
        return unpacked;
    }
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
    if (!WalkArchive())
        UnpackProblem("%s: stopped at a damaged member", "damaged member %s",
                      LzhMemberName()[0] ? LzhMemberName() : "?");
    lzhStop = fatal;
    lzhReportMember = reportMember;
    // Every archiver ends an archive with its end marker: one that ends
    // before it, or at a damaged header, has lost members.
    if (lzhReader.walkEnd == LzhWalkEnd::BadHeader)
        UnpackProblem("a damaged header after %s", "damaged header after %s",
                      std::to_string(lzhReader.membersRead).append(" members").c_str());
    else if (lzhReader.walkEnd == LzhWalkEnd::FileEnd)
        UnpackProblem("%s ends before its end marker", "ends before its end marker", kArchiveName);
    // A walk that reached the archive's end has read all of it.
    const bool ended = lzhReader.walkEnd == LzhWalkEnd::EndMarker || lzhReader.walkEnd == LzhWalkEnd::FileEnd;
    ui.ShowUnpacking(ended ? lzhReader.archiveSize : -1, lzhReader.archiveSize, true);
    lzhChunkWritten = chunkWritten;
    unpacked.members = lzhReader.membersRead;
    return unpacked;
}
