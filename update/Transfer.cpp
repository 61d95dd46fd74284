// The counting, copying and rewrite passes over the patch tree.
#include "update/Transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "pack/PackFind.h"
#include "pack/PackText.h"
#include "platform/AsciiCase.h"
#include "platform/Disk.h"
#include "platform/WindowsNames.h"
#include "update/Globals.h"

TransferState transfer;

namespace {

constexpr std::int32_t kChunk = 65536;
// No path of 260 bytes holds more levels than this.
constexpr std::int32_t kMaxDepth = 130;

// Every file copy passes through this one buffer.
char transferBuffer[kChunk];

const VersionNumber kLastOldPackVersion = {1, 0, 0, 47};

// The disk folders the copying pass made, by the first block of the patch's
// directory they mirror: taken away again should the run not be switched.
std::uint8_t madeFolders[pack::kMaxBlocks / 8];

// Counts a file or folder the copying pass could not copy or make, and keeps
// the first one's path, and why when it is known.
void RecordFailure(const char* name, const char* why = nullptr)
{
    if (transfer.failedCopies++ != 0) return;
    std::snprintf(transfer.firstFailureWhy, sizeof transfer.firstFailureWhy, "%s", why ? why : "");
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
bool IsPlainName(const char* name, bool)
{
    if (name[0] == 0 || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    // A slash separates folders on disk, and the game's own reader takes it
    // as one in the pack.
    for (const char* p = name; *p; ++p)
        if (*p == '\\' || *p == ':' || *p == '/') return false;
    return true;
}

// The room the copying pass takes, as the counting pass follows it: the game
// pack's allocator step by step (free blocks of the data area first, then
// blocks appended, until the table can describe no more; a replaced file's
// blocks are freed only after the switch), and the bytes the disk holds
// before the switch, every file's replacement written beside the old file.
struct Room {
    std::int32_t freeBelow;  // free blocks of the data area the allocator may take
    std::int32_t blocks;     // the data area's blocks
    std::int32_t firstBlocks;
    std::int32_t held;  // blocks taken beyond those at the start, at this step
    bool packFits;
    std::int64_t diskHeld;
};
Room room;

// File systems give space in clusters; 4 KB is the usual one.
std::int64_t OnDisk(std::int64_t bytes) { return (bytes + 4095) / 4096 * 4096; }

void TakeBlock()
{
    // Past the end of the table the count goes on, for the room needed.
    if (room.blocks >= pack::kMaxBlocks)
        room.packFits = false;
    else if (room.freeBelow > 0)
        --room.freeBelow;
    else
        ++room.blocks;
    ++room.held;
    if (room.held > transfer.plan.packNeeded) transfer.plan.packNeeded = room.held;
}

void HoldOnDisk(std::int64_t bytes)
{
    room.diskHeld += bytes;
    if (room.diskHeld > transfer.plan.diskNeeded) transfer.plan.diskNeeded = room.diskHeld;
}

std::int32_t BlocksFor(std::int64_t size)
{
    return static_cast<std::int32_t>((size + pack::kBlockSize - 1) / pack::kBlockSize);
}

// Where the walk stands on the mirror side: a folder that exists (and is the
// current one), or one the copying pass will make. In the game pack, the free
// slots of that directory; on disk, whether it was seen to be writable.
struct Place {
    bool exists;
    std::int32_t freeSlots;
    bool writableKnown = false;
};
// The place of the folder the walk is in, while it plans.
Place* here = nullptr;

// The free slots of the directory whose chain starts at first, as the
// engine's search for a free slot meets them.
std::int32_t FreeSlots(std::int32_t first)
{
    std::int32_t free = 0;
    pack::DirEntry entries[pack::kEntriesPerBlock];
    std::int32_t block = first;
    for (std::int32_t passed = 0; passed < GamePack.BlockCount(); ++passed) {
        if (!GamePack.ReadEntries(block, 0, pack::kEntriesPerBlock, entries)) break;
        for (const pack::DirEntry& entry : entries)
            if (entry.InUse() == 0) ++free;
        block = GamePack.NextBlock(block);
        if (block <= 0) break;
    }
    return free;
}

// A walk or a copy started on its own, outside a walk that plans, plans in
// the folder it stands in: that folder's place while it lives.
class PlaceOfItsOwn {
public:
    explicit PlaceOfItsOwn(bool pack)
    {
        if (here) return;
        if (pack && !transfer.copyingPass) own.freeSlots = FreeSlots(GamePack.GetCurrentDir());
        here = &own;
    }
    ~PlaceOfItsOwn()
    {
        if (here == &own) here = nullptr;
    }
    PlaceOfItsOwn(const PlaceOfItsOwn&) = delete;
    PlaceOfItsOwn& operator=(const PlaceOfItsOwn&) = delete;

private:
    Place own{true, 0, false};
};

// Notes what stands in the copying pass's way at name (or at the folder the
// walk is in, for a null name).
void Obstacle(TransferObstacle what, const char* name)
{
    TransferPlan& plan = transfer.plan;
    if (plan.obstacles++ != 0) return;
    plan.obstacle = what;
    const std::size_t size = sizeof plan.obstaclePath;
    int length;
    if (name) {
        length = std::snprintf(plan.obstaclePath, size, "%s%s", transfer.walkPath, name);
    } else {
        length = std::snprintf(plan.obstaclePath, size, "%s", transfer.walkPath);
        if (length > 0 && static_cast<std::size_t>(length) < size) plan.obstaclePath[length - 1] = 0;
    }
    if (length < 0 || static_cast<std::size_t>(length) >= size) std::memcpy(plan.obstaclePath + size - 4, "...", 4);
}

void Plan(TransferPlace place, TransferStep step, const char* name, std::int64_t size)
{
    if (step == TransferStep::Folder)
        ++transfer.plan.folders;
    else
        ++transfer.plan.files;
    if (!transfer.listener) return;
    char path[260];
    const int length = std::snprintf(path, sizeof path, "%s%s", transfer.walkPath, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof path) std::memcpy(path + sizeof path - 4, "...", 4);
    transfer.listener->Planned(place, step, path, size);
}

// An entry written into the game pack directory the walk is in, which must
// be able to take it.
void WriteEntryHere()
{
    if (here->exists && GamePack.IsDamagedDirectory(GamePack.GetCurrentDir()))
        Obstacle(TransferObstacle::DamagedDirectory, nullptr);
}

// A new entry in the game pack directory the walk is in.
void TakeSlot()
{
    WriteEntryHere();
    if (here->freeSlots == 0) {
        TakeBlock();
        here->freeSlots = pack::kEntriesPerBlock;
    }
    --here->freeSlots;
}

// Whether name can be a file's or folder's name on the disk, as the disk
// layer resolves it in the folder the walk is in.
bool DiskNameUsable(const char* name)
{
    static char host[kHostPathMax];
    return ResolveDiskPath(name, host, sizeof host) || errno == ENAMETOOLONG;
}

// A file made or replaced in the disk folder the walk is in, which must be
// writable: looked at once a folder.
void WriteIntoFolderHere()
{
    if (!here->exists || here->writableKnown) return;
    here->writableKnown = true;
    if (MayWriteDiskPath(".") != 0) Obstacle(TransferObstacle::ReadOnly, nullptr);
}

// Whether the pack path of name, "Z:\\" and the folders the walk is in,
// fits what the engine and the game take: under 260 bytes.
bool PackPathFits(const char* name, bool folder)
{
    return 3 + std::strlen(transfer.walkPath) + std::strlen(name) + (folder ? 1 : 0) <
           static_cast<std::size_t>(kMaxPath);
}

// Whether the disk path of name below the game directory fits a Windows path.
bool DiskPathFits(const char* name, bool folder)
{
    return std::strlen(GameDir) + std::strlen(transfer.walkPath) + std::strlen(name) + (folder ? 1 : 0) <
           static_cast<std::size_t>(kMaxPath);
}

// Whether the two disk paths name the same file, as the disk resolves them.
bool SameDiskFile(const char* a, const char* b)
{
    static char hostA[kHostPathMax];
    static char hostB[kHostPathMax];
    return ResolveDiskPath(a, hostA, sizeof hostA) && ResolveDiskPath(b, hostB, sizeof hostB) &&
           ascii::EqualIgnoringCase(hostA, hostB);
}

// Whether the disk file name, in the folder the walk is in, is the game pack
// or the patch that the run reads. Their paths end in their names, so only a
// file of one of those names can be either.
bool IsTheInput(const char* name)
{
    const bool gamePack = ascii::EqualIgnoringCase(name, "Kivra.pak");
    const bool patch = ascii::EqualIgnoringCase(name, "Update.pak");
    if (!gamePack && !patch) return false;
    char target[kMaxPath];
    char input[kMaxPath];
    const int length = std::snprintf(target, sizeof target, "%s%s%s", GameDir, transfer.walkPath, name);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof target) return false;
    return (gamePack && JoinPath(input, GameDir, "Dev\\Kivra.pak") && SameDiskFile(target, input)) ||
           (patch && JoinPath(input, UpdaterDir, "Update.pak") && SameDiskFile(target, input));
}

// The counting pass's step for one file: what the copy will do, and the room
// it takes.
void PlanFile(const char* source, std::int32_t listed, bool toPack)
{
    transfer.countedBytes += listed;
    std::int64_t size = listed;
    if (size == 0) {
        // Measured as the copy will measure it.
        const int from = UpdatePack.OpenFile(source, OF_READ, kInPack);
        if (from == -1) {
            Obstacle(TransferObstacle::Unreadable, source);
            return;
        }
        UpdatePack.Seek(from, 0, FILE_END);
        size = UpdatePack.Tell(from);
        UpdatePack.CloseFile(from);
    }
    bool replacing = false;
    if (toPack) {
        if (!PackPathFits(source, false)) Obstacle(TransferObstacle::PathTooLong, source);
        pack::DirEntry entry;
        if (here->exists && GamePack.FindEntry(source, pack::kTypeAny, entry)) {
            if (entry.Type() & pack::kTypeDirectory) Obstacle(TransferObstacle::FolderInTheWay, source);
            WriteEntryHere();
            replacing = true;
        } else {
            TakeSlot();
        }
        for (std::int32_t b = BlocksFor(size); b > 0; --b) TakeBlock();
    } else {
        DiskPathInfo info{};
        if (!DiskPathFits(source, false)) Obstacle(TransferObstacle::PathTooLong, source);
        if (WindowsNameFault(source)) Obstacle(TransferObstacle::WindowsName, source);
        if (!DiskNameUsable(source)) Obstacle(TransferObstacle::BadDiskName, source);
        if (IsTheInput(source)) Obstacle(TransferObstacle::IsTheInput, source);
        WriteIntoFolderHere();
        if (here->exists && StatDiskPath(source, &info) == 0) {
            if (info.directory) Obstacle(TransferObstacle::FolderInTheWay, source);
            if (!info.directory && !info.file) Obstacle(TransferObstacle::NotAFile, source);
            if (info.file && MayWriteDiskPath(source) != 0) Obstacle(TransferObstacle::ReadOnly, source);
            replacing = true;
        }
        // The old file stays until the switch, beside its replacement.
        HoldOnDisk(OnDisk(size));
    }
    Plan(toPack ? TransferPlace::Pack : TransferPlace::Disk, replacing ? TransferStep::Replace : TransferStep::Add,
         source, size);
}

// Where a copy writes: a disk file replaced whole, or a file of GamePack.
struct Destination {
    std::FILE* disk = nullptr;
    int packHandle = -1;

    bool Open(const char* name, bool toPack)
    {
        if (toPack) {
            packHandle = GamePack.OpenFile(name, OF_WRITE, kInPack);
            return packHandle != -1;
        }
        disk = BeginDiskReplacement(name);
        return disk != nullptr;
    }
    bool Write(std::size_t count)
    {
        if (disk) return WriteDiskFile(transferBuffer, count, 1, disk) == 1;
        return GamePack.Write(transferBuffer, count, 1, packHandle) == 1;
    }
    // With keep, stages what was written to take the file's place: false
    // when it could not be kept. Without, the file stays as it was.
    bool Close(bool keep)
    {
        if (disk)
            return FinishDiskReplacement(disk, keep ? DiskReplacementEnd::kStage : DiskReplacementEnd::kDrop) == 0 &&
                   keep;
        if (!keep) {
            GamePack.DiscardFile(packHandle);
            return false;
        }
        return GamePack.CloseFile(packHandle) == 0;
    }
};

int CopyFile(const char* source, const char* destination, std::int32_t size, bool toPack)
{
    if (!transfer.copyingPass) {
        const PlaceOfItsOwn place(toPack);
        if (IsPlainName(destination, !toPack))
            PlanFile(source, size, toPack);
        else
            Obstacle(TransferObstacle::UnsafeName, source);
        return 0;
    }
    if (!IsPlainName(destination, !toPack)) {
        RecordFailure(source);
        return -1;
    }
    // Only the patch's own file: a disk file of that name beside the game is
    // no part of the patch.
    const int from = UpdatePack.OpenFile(source, OF_READ, kInPack);
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
        const int error = errno;
        UpdatePack.CloseFile(from);
        RecordFailure(source, toPack ? nullptr : std::strerror(error));
        return -1;
    }

    const std::int32_t chunks = size / kChunk;
    const std::int32_t remainder = size % kChunk;
    bool ok = true;
    for (std::int32_t i = 0; ok && i <= chunks; ++i) {
        const std::int32_t count = i < chunks ? kChunk : remainder;
        if (count <= 0) break;
        // A short read ends the copy like a failed write: nothing left over
        // in the buffer reaches the destination, which stays as it was.
        ok = UpdatePack.Read(transferBuffer, static_cast<std::size_t>(count), 1, from) == 1 &&
             to.Write(static_cast<std::size_t>(count));
        if (!ok) break;
        transfer.copiedBytes += count;
        ShowProgress();
    }
    const bool written = ok;
    ok = to.Close(ok);
    const int error = errno;
    UpdatePack.CloseFile(from);
    if (!ok) {
        RecordFailure(source, written && !toPack ? std::strerror(error) : nullptr);
        return -1;
    }
    return 0;
}

bool IsKivraPak(const char* name) { return ascii::EqualIgnoringCase(name, "Kivra_Pak"); }

constexpr char kVersionFile[] = "Version.txt";

// The version file met by the pack walk directly inside "Kivra_Pak", when the
// update procedure copies it last.
bool IsVersionLeftForLast(const char* name)
{
    return transfer.versionLast && transfer.depth == 1 && ascii::EqualIgnoringCase(name, kVersionFile);
}

// A walk that cannot go back where it came from stops all walks.
void Abandon(const char* name)
{
    RecordFailure(name);
    transfer.abandoned = true;
}

// The mirror side of a walk: GamePack's current directory or the process's.
struct Mirror {
    bool disk;

    bool Enter(const char* name) const
    {
        if (disk) {
            if (ChangeDiskDirectory(name) == 0) return true;
            // Made by this run: the patch's directory names it.
            if (MakeDiskDirectory(name) == 0) {
                const std::int32_t mirrored = UpdatePack.GetCurrentDir();
                madeFolders[mirrored >> 3] =
                    static_cast<std::uint8_t>(madeFolders[mirrored >> 3] | (1u << (mirrored & 7)));
            }
            return ChangeDiskDirectory(name) == 0;
        }
        if (GamePack.ChangeDir(name) == 0) return true;
        GamePack.MakeDir(name);
        return GamePack.ChangeDir(name) == 0;
    }

    // The counting pass enters a folder that exists; one that does not is
    // planned, with the room making it takes.
    bool Plan(const char* name, Place& child) const
    {
        child = Place{false, pack::kEntriesPerBlock - 2, false};  // "." and ".."
        if (disk) {
            if (!DiskPathFits(name, true)) Obstacle(TransferObstacle::PathTooLong, name);
            if (WindowsNameFault(name)) Obstacle(TransferObstacle::WindowsName, name);
            if (!DiskNameUsable(name)) Obstacle(TransferObstacle::BadDiskName, name);
            DiskPathInfo info{};
            if (here->exists && ChangeDiskDirectory(name) == 0) {
                child.exists = true;
                return true;
            }
            // A folder that is there but cannot be entered is no place to copy to.
            if (here->exists && StatDiskPath(name, &info) == 0)
                Obstacle(info.directory ? TransferObstacle::Unreadable : TransferObstacle::FileInTheWay, name);
            // A new folder is made in this one.
            WriteIntoFolderHere();
            HoldOnDisk(OnDisk(1));
        } else {
            if (!PackPathFits(name, true)) Obstacle(TransferObstacle::PathTooLong, name);
            pack::DirEntry entry;
            if (here->exists && GamePack.ChangeDir(name) == 0) {
                child = Place{true, FreeSlots(GamePack.GetCurrentDir())};
                return true;
            }
            if (here->exists && GamePack.FindEntry(name, pack::kTypeAny, entry))
                Obstacle(TransferObstacle::FileInTheWay, name);
            TakeSlot();
            TakeBlock();
        }
        ::Plan(disk ? TransferPlace::Disk : TransferPlace::Pack, TransferStep::Folder, name, 0);
        return true;
    }

    // Back to the folder the walk came from; false when it cannot be had.
    bool Leave() const
    {
        if (disk) return ChangeDiskDirectory("..") == 0;
        return GamePack.ChangeDir("..") == 0;
    }
};

int CopyTree(const char* pattern, bool disk)
{
    CPackFind find;
    int result = find.FindFirst(&UpdatePack, pattern, pack::kTypeAny);
    if (result != 0) return result;
    const Mirror mirror{disk};
    const PlaceOfItsOwn place(!disk);
    do {
        if (transfer.abandoned) {
            result = 1;
            break;
        }
        if (find.type != pack::kTypeDirectory) {
            if (disk)
                CopyFileToDisk(find.name, find.name, find.size);
            else if (!IsVersionLeftForLast(find.name))
                CopyFileToPack(find.name, find.name, find.size);
        } else if (find.name[0] == '.' || (disk && IsKivraPak(find.name))) {
            // Passed over.
        } else if (!IsPlainName(find.name, disk) || transfer.depth >= kMaxDepth) {
            if (transfer.copyingPass)
                RecordFailure(find.name);
            else
                Obstacle(transfer.depth >= kMaxDepth ? TransferObstacle::TooDeep : TransferObstacle::UnsafeName,
                         find.name);
        } else if (UpdatePack.ChangeDir(find.name) == 0) {
            Place child{};
            Place* const parent = here;
            // A folder that cannot be made or entered leaves its whole
            // subtree out.
            if (transfer.copyingPass ? mirror.Enter(find.name) : mirror.Plan(find.name, child)) {
                here = &child;
                ++transfer.depth;
                EnterWalkPath(find.name);
                CopyTree("*.*", disk);
                LeaveWalkPath();
                --transfer.depth;
                here = parent;
                if ((transfer.copyingPass || child.exists) && !mirror.Leave()) Abandon(find.name);
            } else {
                RecordFailure(find.name);
            }
            if (UpdatePack.ChangeDir("..") != 0) Abandon(find.name);
        } else if (transfer.copyingPass) {
            RecordFailure(find.name);
        } else {
            Obstacle(TransferObstacle::Unreadable, find.name);
        }
        result = find.FindNext();
    } while (result == 0);
    return result;
}

// Walks the patch's disk folders below UpdatePack's current directory (the
// process's current directory mirroring it), removing those the copying
// pass made, deepest first.
void RemoveFoldersBelow(std::int32_t depth)
{
    CPackFind find;
    for (int more = find.FindFirst(&UpdatePack, "*.*", pack::kTypeDirectory); more == 0; more = find.FindNext()) {
        if (find.name[0] == '.' || IsKivraPak(find.name) || !IsPlainName(find.name, true) || depth >= kMaxDepth ||
            UpdatePack.ChangeDir(find.name) != 0)
            continue;
        const std::int32_t mirrored = UpdatePack.GetCurrentDir();
        if (ChangeDiskDirectory(find.name) == 0) {
            RemoveFoldersBelow(depth + 1);
            ChangeDiskDirectory("..");
            if ((madeFolders[mirrored >> 3] >> (mirrored & 7)) & 1) RemoveDiskDirectory(find.name);
        }
        UpdatePack.ChangeDir("..");
    }
}

}  // namespace

void RemoveMadeFolders()
{
    // From the game directory down, wherever a walk that could not go back
    // up left the process.
    const std::int32_t patchDir = UpdatePack.GetCurrentDir();
    if (UpdatePack.ChangeDir("Z:\\") == 0 && ChangeDiskDirectory(GameDir) == 0) RemoveFoldersBelow(0);
    UpdatePack.SetCurrentDir(patchDir);
    std::memset(madeFolders, 0, sizeof madeFolders);
}

void ResetTransfer(UpdateUi* panel)
{
    std::memset(madeFolders, 0, sizeof madeFolders);
    transfer.firstFailureWhy[0] = 0;
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
    transfer.abandoned = false;
    transfer.plan = TransferPlan{};
    transfer.listener = nullptr;
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

void PlanTransfer()
{
    TransferPlan& plan = transfer.plan;
    const std::int32_t blocks = GamePack.BlockCount();
    plan.packFree = GamePack.FreeBlocks();
    room =
        Room{blocks < pack::kMaxBlocks ? plan.packFree - (pack::kMaxBlocks - blocks) : 0, blocks, blocks, 0, true, 0};
    transfer.copyingPass = 0;
    TransferPackData();
    TransferDiskData();
    if (transfer.versionLast) CopyPackVersion();
    plan.packFits = room.packFits;
    // The game pack grows on the same disk.
    plan.diskNeeded += static_cast<std::int64_t>(room.blocks - room.firstBlocks) * pack::kBlockSize;
    std::uint64_t free = 0;
    plan.diskFree = FreeDiskSpace(GameDir, &free) == 0 ? static_cast<std::int64_t>(free) : -1;
    if (GamePack.WritesRefused()) Obstacle(TransferObstacle::PackRefused, "");
    if (UpdatePack.Failed() || GamePack.Failed()) Obstacle(TransferObstacle::Unreadable, "");
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
