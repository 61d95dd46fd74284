// The counting, copying and rewrite passes over the patch tree.
#include "update/Transfer.h"

#include <cstdio>
#include <cstring>

#include "pack/PackFind.h"
#include "pack/PackText.h"
#include "platform/Disk.h"
#include "update/Globals.h"

TransferState transfer;

namespace {

constexpr std::int32_t kChunk = 65536;
// No path of 260 bytes holds more levels than this.
constexpr std::int32_t kMaxDepth = 130;

// Every file copy passes through this one buffer.
char transferBuffer[kChunk];

const VersionNumber kLastOldPackVersion = {1, 0, 0, 47};

// Counts a file or folder the copying pass could not copy or make, and keeps
// the first one's path.
void RecordFailure(const char* name)
{
    if (transfer.failedCopies++ != 0) return;
    char* const text = transfer.firstFailedFile;
    const std::size_t size = sizeof transfer.firstFailedFile;
    const int length = std::snprintf(text, size, "%s%s", transfer.walkPath, name);
    // A path too long to show whole says so.
    if (length < 0 || static_cast<std::size_t>(length) >= size) std::memcpy(text + size - 4, "...", 4);
}

// The walk steps into (or out of) the folder name.
void EnterWalkPath(const char* name)
{
    // Folders below what the path can hold are counted, not shown.
    const std::size_t length = std::strlen(transfer.walkPath);
    const int added = std::snprintf(transfer.walkPath + length, sizeof transfer.walkPath - length, "%s\\", name);
    if (transfer.walkPathHidden > 0 || added < 0 ||
        static_cast<std::size_t>(added) >= sizeof transfer.walkPath - length) {
        transfer.walkPath[length] = 0;
        ++transfer.walkPathHidden;
    }
}

void LeaveWalkPath()
{
    if (transfer.walkPathHidden > 0) {
        --transfer.walkPathHidden;
        return;
    }
    std::size_t length = std::strlen(transfer.walkPath);
    if (length > 0) --length;  // the folder's backslash
    while (length > 0 && transfer.walkPath[length - 1] != '\\') --length;
    transfer.walkPath[length] = 0;
}

void ShowProgress()
{
    if (!transfer.progressPanel) return;
    transfer.progressPanel->SetProgressPos(transfer.copiedBytes);
    transfer.progressPanel->Refresh();
}

// A name from the patch that is safe to use as one component of a disk path
// (or, with disk false, of a pack path): nothing in it that would lead
// outside the directory being mirrored.
bool IsPlainName(const char* name, bool disk)
{
    if (name[0] == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (const char* p = name; *p; ++p)
        if (*p == '\\' || *p == ':' || (disk && *p == '/')) return false;
    return true;
}

// Where a copy writes: a disk stream, or a file of GamePack.
struct Destination {
    std::FILE* disk = nullptr;
    int packHandle = -1;

    bool Open(const char* name, bool toPack)
    {
        if (toPack) {
            packHandle = GamePack.OpenFile(name, OF_WRITE, kInPackThenOnDisk);
            return packHandle != -1;
        }
        disk = OpenDiskFile(name, "wb");
        return disk != nullptr;
    }
    bool Write(std::size_t count)
    {
        if (disk) return std::fwrite(transferBuffer, count, 1, disk) == 1;
        return GamePack.Write(transferBuffer, count, 1, packHandle) == 1;
    }
    // False when what was written could not be kept.
    bool Close()
    {
        if (disk) return std::fclose(disk) == 0;
        return GamePack.CloseFile(packHandle) == 0;
    }
};

int CopyFile(const char* source, const char* destination, std::int32_t size, bool toPack)
{
    if (!transfer.copyingPass) {
        transfer.countedBytes += size;
        return 0;
    }
    if (!IsPlainName(destination, !toPack)) {
        RecordFailure(source);
        return -1;
    }
    const int from = UpdatePack.OpenFile(source, OF_READ, kInPackThenOnDisk);
    if (from == -1) {
        RecordFailure(source);
        return -1;
    }

    if (transfer.progressPanel) transfer.progressPanel->SetStatus(source);
    ShowProgress();

    if (size == 0) {
        UpdatePack.Seek(from, 0, FILE_END);
        size = UpdatePack.Tell(from);
        UpdatePack.Seek(from, 0, FILE_BEGIN);
    }

    // A destination that cannot be made (a folder of that name, a
    // read-only file) leaves the installation without the file.
    Destination to;
    if (!to.Open(destination, toPack)) {
        UpdatePack.CloseFile(from);
        RecordFailure(source);
        return -1;
    }

    const std::int32_t chunks = size / kChunk;
    const std::int32_t remainder = size % kChunk;
    bool ok = true;
    for (std::int32_t i = 0; ok && i <= chunks; ++i) {
        const std::int32_t count = i < chunks ? kChunk : remainder;
        if (count <= 0) break;
        // A short read ends the copy like a failed write: nothing left over
        // in the buffer reaches the destination.
        ok = UpdatePack.Read(transferBuffer, static_cast<std::size_t>(count), 1, from) == 1 &&
             to.Write(static_cast<std::size_t>(count));
        if (!ok) break;
        transfer.copiedBytes += count;
        ShowProgress();
    }
    ok = to.Close() && ok;
    UpdatePack.CloseFile(from);
    if (!ok) {
        RecordFailure(source);
        return -1;
    }
    return 0;
}

bool IsKivraPak(const char* name) { return pack::EqualNames(name, "Kivra_Pak"); }

constexpr char kVersionFile[] = "Version.txt";

// The version file met by the pack walk directly inside "Kivra_Pak", when the
// update procedure copies it last.
bool IsVersionLeftForLast(const char* name)
{
    return transfer.versionLast && transfer.copyingPass && transfer.depth == 1 && pack::EqualNames(name, kVersionFile);
}

// The mirror side of a walk: GamePack's current directory or the process's.
struct Mirror {
    bool disk;

    bool Enter(const char* name) const
    {
        if (disk) {
            if (ChangeDiskDirectory(name) == 0) return true;
            MakeDiskDirectory(name);
            return ChangeDiskDirectory(name) == 0;
        }
        if (GamePack.ChangeDir(name) == 0) return true;
        GamePack.MakeDir(name);
        return GamePack.ChangeDir(name) == 0;
    }
    void Leave() const
    {
        if (disk)
            ChangeDiskDirectory("..");
        else
            GamePack.ChangeDir("..");
    }
};

int CopyTree(const char* pattern, bool disk)
{
    CPackFind find;
    int result = find.FindFirst(&UpdatePack, pattern, pack::kTypeAny);
    if (result != 0) return result;
    const Mirror mirror{disk};
    do {
        if (find.type != pack::kTypeDirectory) {
            if (disk)
                CopyFileToDisk(find.name, find.name, find.size);
            else if (!IsVersionLeftForLast(find.name))
                CopyFileToPack(find.name, find.name, find.size);
        } else if (find.name[0] == '.' || (disk && IsKivraPak(find.name))) {
            // Passed over.
        } else if (!IsPlainName(find.name, disk) || transfer.depth >= kMaxDepth) {
            if (transfer.copyingPass) RecordFailure(find.name);
        } else if (UpdatePack.ChangeDir(find.name) == 0) {
            // A folder that cannot be made or entered leaves its whole
            // subtree out.
            if (mirror.Enter(find.name)) {
                ++transfer.depth;
                EnterWalkPath(find.name);
                CopyTree("*.*", disk);
                LeaveWalkPath();
                --transfer.depth;
                mirror.Leave();
            } else if (transfer.copyingPass) {
                RecordFailure(find.name);
            }
            UpdatePack.ChangeDir("..");
        } else if (transfer.copyingPass) {
            RecordFailure(find.name);
        }
        result = find.FindNext();
    } while (result == 0);
    return result;
}

}  // namespace

void ResetTransfer(UpdateUi* panel)
{
    transfer.versionLast = 0;
    transfer.progressPanel = panel;
    transfer.copyingPass = 0;
    transfer.countedBytes = 0;
    transfer.copiedBytes = 0;
    transfer.failedCopies = 0;
    transfer.firstFailedFile[0] = 0;
    transfer.walkPath[0] = 0;
    transfer.walkPathHidden = 0;
    transfer.depth = 0;
}

int CopyFileToDisk(const char* source, const char* destination, std::int32_t size)
{
    return CopyFile(source, destination, size, false);
}

int CopyFileToPack(const char* source, const char* destination, std::int32_t size)
{
    return CopyFile(source, destination, size, true);
}

int CopyTreeToPack(const char* pattern) { return CopyTree(pattern, false); }

int CopyTreeToDisk(const char* pattern) { return CopyTree(pattern, true); }

bool TransferPackData()
{
    CPackFind find;
    if (find.FindFirst(&UpdatePack, "Kivra_Pak", pack::kTypeDirectory) != 0) return false;
    CopyTreeToPack("Kivra_Pak");
    return true;
}

bool TransferDiskData()
{
    CopyTreeToDisk("*.*");
    return true;
}

int RewriteDirectoryEntries(const char* pattern)
{
    CPackFind find;
    int result = find.FindFirst(&GamePack, pattern, pack::kTypeAny);
    if (result != 0) return result;
    do {
        if (find.type != pack::kTypeDirectory) {
            const int handle = GamePack.OpenFile(find.name, OF_READ, kInPack);
            if (handle != -1) {
                GamePack.MarkForRewrite(handle);
                GamePack.CloseFile(handle);
            }
        } else if (find.name[0] != '.' && transfer.depth < kMaxDepth && GamePack.ChangeDir(find.name) == 0) {
            ++transfer.depth;
            RewriteDirectoryEntries("*.*");
            --transfer.depth;
            GamePack.ChangeDir("..");
        }
        result = find.FindNext();
    } while (result == 0);
    return result;
}

bool UpgradeOldPackEntries(const VersionNumber& version)
{
    if (CompareVersions(version, kLastOldPackVersion) != VersionOrder::Greater) RewriteDirectoryEntries("*.*");
    return true;
}

bool CopyPackVersion()
{
    bool copied = false;
    CPackFind find;
    if (UpdatePack.ChangeDir("Z:\\Kivra_Pak") == 0 && find.FindFirst(&UpdatePack, kVersionFile, pack::kTypeFile) == 0 &&
        GamePack.ChangeDir("Z:\\Kivra_Pak") == 0) {
        EnterWalkPath("Kivra_Pak");
        copied = CopyFileToPack(find.name, find.name, find.size) == 0;
        LeaveWalkPath();
    }
    UpdatePack.ChangeDir("Z:\\");
    GamePack.ChangeDir("Z:\\");
    return copied;
}
