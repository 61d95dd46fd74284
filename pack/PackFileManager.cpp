// Opening, creating and closing a pack; the host file layer; the allocator.
#include "pack/PackFileManager.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "pack/PackCheck.h"
#include "pack/PackText.h"
#include "platform/AsciiCase.h"
#include "platform/Disk.h"

using namespace pack;

namespace {

bool IsReadLetter(char c) { return c == 'r' || c == 'R'; }
bool IsWriteLetter(char c) { return c == 'w' || c == 'W'; }

const std::uint8_t kZeroBlock[kBlockSize] = {};

void StopProcessWhenFull(const char*)
{
    std::fputs("\nError! (FAT overflow)", stdout);
    // The patch stopped half-way: whoever started the patcher must not take
    // this for success.
    std::exit(1);
}

}  // namespace

PackFullFunction packFullStop = StopProcessWhenFull;

CPackFileManager::CPackFileManager()
    : hostFile(nullptr),
      table{},
      currentPath{},
      hostPath{},
      currentDir(0),
      dataStart(kDataStartSector),
      blockCount(0),
      handles{},
      openMode(0),
      hostPosition(0),
      headerImage{},
      lowestFreeHint(0),
      lastTransfer(Transfer::None),
      cache(nullptr),
      cacheEnabled(true),
      tableDirty{},
      runBuffer(nullptr),
      runsEnabled(true),
      runCapacity(kRunBytes),
      runStart(0),
      runLength(0),
      runFilled(0),
      hostBlocks(0),
      damagedDirectories{},
      sharedBlocks{},
      namedFreeBlocks{},
      sound(false),
      inUse(false),
      hostFailed(false),
      heldBlocks{},
      storedTable(nullptr),
      tableWritten{},
      staged(false),
      switched(false),
      undone(false),
      tableTailInUse(0),
      committedLength(0),
      committedBlocks(0)
{
    Close();
}

CPackFileManager::~CPackFileManager()
{
    Close();
    delete cache;
    std::free(runBuffer);
    std::free(storedTable);
}

void CPackFileManager::ForgetCache()
{
    if (cache) cache->Clear();
}

void CPackFileManager::ResetState()
{
    std::memset(headerImage, 0, sizeof headerImage);
    StoreU32(headerImage + kTableSectorsOffset, kTableSectors);
    for (std::int32_t& entry : table) entry = kFreeBlock;
    std::memset(tableDirty, 0, sizeof tableDirty);
    std::memset(damagedDirectories, 0, sizeof damagedDirectories);
    std::memset(sharedBlocks, 0, sizeof sharedBlocks);
    std::memset(namedFreeBlocks, 0, sizeof namedFreeBlocks);
    std::memset(heldBlocks, 0, sizeof heldBlocks);
    std::memset(tableWritten, 0, sizeof tableWritten);
    pending.Clear();
    staged = false;
    switched = false;
    undone = false;
    tableTailInUse = 0;
    committedLength = 0;
    committedBlocks = 0;
    lostBlocks.clear();
    sound = false;
    hostFailed = false;
    lowestFreeHint = 0;
    currentPath[0] = 0;
    currentDir = 0;
    dataStart = kDataStartSector;
    blockCount = 0;
    runLength = 0;
    runFilled = 0;
    hostBlocks = 0;
}

int CPackFileManager::Open(const char* path, const char* mode)
{
    Close();

    bool read = false;
    bool write = false;
    for (const char* m = mode; *m; ++m) {
        if (IsReadLetter(*m)) read = true;
        if (IsWriteLetter(*m)) write = true;
    }
    if (read && write) return 0;
    if (!read && !write) read = true;

    ResetState();
    if (!cache) cache = new pack::DirectoryCache;
    cache->Clear();

    // The stream takes the mode as given, but in small letters: "RB+" asks
    // for the same read-write stream as "rb+".
    char streamMode[16] = {};
    for (std::size_t i = 0; i + 1 < sizeof streamMode && mode[i]; ++i) streamMode[i] = ascii::Fold(mode[i]);
    const bool writer = write || ascii::EqualIgnoringCase(mode, "rb+");
    // Without the memory, data goes a block at a time.
    if (writer && !runBuffer) runBuffer = static_cast<std::uint8_t*>(std::malloc(kRunBytes));
    if (writer && !storedTable) storedTable = static_cast<std::int32_t*>(std::malloc(sizeof table));
    // A writer that cannot know what the host file holds writes nothing.
    if (writer && !storedTable) return 0;
    hostFile = OpenLockedDiskFile(path, streamMode, writer ? DiskLock::kExclusive : DiskLock::kShared);
    inUse = !hostFile && errno == EBUSY;
    std::strncpy(hostPath, path, kMaxPath - 1);
    hostPath[kMaxPath - 1] = 0;
    if (!hostFile) return 0;
    lastTransfer = Transfer::None;
    hostPosition = static_cast<std::int32_t>(TellDiskFile(hostFile));

    if (read) {
        openMode = writer ? 2 : 1;
        if (LoadArchive() != 0) {
            CloseDiskFile(hostFile);
            hostFile = nullptr;
            openMode = 0;
            return 0;
        }
        LearnTree();
        if (openMode == 2) KnowStoredTable();
    }
    if (write) {
        openMode = 2;
        sound = FormatArchive() == 0;
        KnowStoredTable();
        // A new pack is on the disk whole before it is used.
        if (sound && SyncHost() != 0) sound = false;
    }
    return IsOpen() ? 1 : 0;
}

void CPackFileManager::KnowStoredTable()
{
    std::memcpy(storedTable, table, sizeof table);
    std::memset(heldBlocks, 0, sizeof heldBlocks);
    // Block 0 holds the root from the pack's creation on.
    SetBit(heldBlocks, 0);
    for (std::int32_t b = 1; b < kMaxBlocks; ++b)
        if (table[b] != kFreeBlock) SetBit(heldBlocks, b);
    committedLength = static_cast<long>(kDataOffset) + static_cast<long>(blockCount) * kBlockSize;
    if (HostSeek(0, FILE_END) == 0) committedLength = hostPosition;
    committedBlocks = blockCount;
}

void CPackFileManager::LearnTree()
{
    const pack::CheckResult check = pack::CheckPack(hostFile);
    for (const std::int32_t block : check.damagedDirectories) SetBit(damagedDirectories, block);
    for (const std::int32_t block : check.sharedBlocks) SetBit(sharedBlocks, block);
    for (const std::int32_t block : check.namedFreeBlocks) SetBit(namedFreeBlocks, block);
    lostBlocks = check.lostBlocks;
    sound = check.readable && check.Clean() && !check.readFailed;
    // What is not known is not written over.
    if (check.readFailed) HostFailure();
    lastTransfer = Transfer::None;
    hostPosition = static_cast<std::int32_t>(TellDiskFile(hostFile));
}

int CPackFileManager::LoadArchive()
{
    HostSeek(0, FILE_BEGIN);
    if (HostRead(headerImage, kHeaderImageSize, 1) != 1) {
        std::fputs("\n load pack error!( header )", stdout);
        return -1;
    }

    const void* end = std::memchr(headerImage, 0, kHeaderImageSize);
    if (end == nullptr || static_cast<const std::uint8_t*>(end) - headerImage != kBannerLength ||
        std::memcmp(headerImage, kBanner, kBannerLength) != 0)
        return -1;

    HostSeek(kTableOffset, FILE_BEGIN);
    if (LoadU32(headerImage + kTableSectorsOffset) != kTableSectors) return -1;

    // Read in its stored form, little-endian, and taken into the machine's
    // own in place.
    if (HostRead(table, kTableBytes, 1) != 1) return -1;
    for (std::int32_t& entry : table)
        entry = static_cast<std::int32_t>(LoadU32(reinterpret_cast<const std::uint8_t*>(&entry)));
    lowestFreeHint = 0;

    HostSeek(kDataOffset, FILE_BEGIN);
    DirEntry root;
    if (HostRead(root.bytes, kEntrySize, 1) != 1) return -1;
    root.TerminateName();
    if (root.InUse() == 0 || std::strcmp(root.Name(), ".") != 0 || root.FirstBlock() != 0 || root.Size() != 0 ||
        root.Type() != kTypeDirectory)
        return -1;

    currentPath[0] = 0;
    currentDir = 0;
    dataStart = kDataStartSector;

    if (HostSeek(0, FILE_END) != 0) return -1;
    // A host file without one whole data block would have block 0, the root,
    // handed out by the allocator: such a file is no pack.
    if (hostPosition < kNewPackSize) return -1;
    const std::int32_t blocks = (hostPosition - kDataOffset) / kBlockSize;
    // Blocks past the table's reach have no entry and are never addressed.
    blockCount = blocks < kMaxBlocks ? blocks : kMaxBlocks;
    hostBlocks = blockCount;
    // A table that calls a block past the data area in use was stored
    // without the growth that block needed: a block appended now could be
    // one a chain names.
    for (std::int32_t b = blockCount; b < kMaxBlocks; ++b)
        if (table[b] != kFreeBlock) ++tableTailInUse;
    return 0;
}

int CPackFileManager::FormatArchive()
{
    if (!hostFile) {
        std::fputs("\n write error!( header )", stdout);
        return -1;
    }

    char path[kPathTextSize];
    GetCurrentPath(path, kPathTextSize);
    std::memcpy(headerImage + kPathTextOffset, path, std::strlen(path) + 1);
    std::memcpy(headerImage, kBanner, kBannerLength + 1);

    std::uint8_t sector[kSectorSize] = {};
    std::memcpy(sector, headerImage, kHeaderImageSize);
    HostSeek(0, FILE_BEGIN);
    if (HostWrite(sector, kSectorSize, 1) != 1) return -1;

    SetTableEntry(0, kEndOfChain);
    // In its stored form, a part at a time.
    HostSeek(kTableOffset, FILE_BEGIN);
    bool written = true;
    for (int b = 0; written && b < kMaxBlocks; b += kSectorSize / 4) {
        std::uint8_t part[kSectorSize];
        for (int i = 0; i < kSectorSize / 4; ++i) StoreU32(part + 4 * i, static_cast<std::uint32_t>(table[b + i]));
        written = HostWrite(part, kSectorSize, 1) == 1;
    }
    if (!written) {
        std::fputs("\n write error!( header )", stdout);
        return -1;
    }
    std::memset(tableDirty, 0, sizeof tableDirty);
    // Entry 0 is the root's, whose block is appended next.
    tableTailInUse = 0;

    if (AllocateBlock(kBlockForDirectory) != 0 || blockCount != 1) {
        std::fputs("\n Root creat error!", stdout);
        return -1;
    }

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    DirEntry root;
    root.Clear();
    root.SetInUse(1);
    root.SetName(".");
    root.SetTime(now.dwHighDateTime, now.dwLowDateTime);
    root.SetType(kTypeDirectory);
    HostSeek(kDataOffset, FILE_BEGIN);
    return HostWrite(root.bytes, kEntrySize, 1) == 1 ? 0 : -1;
}

int CPackFileManager::Close()
{
    const bool writer = openMode == 2;
    for (int handle = 1; handle < kHandleSlots; ++handle)
        if (handles[handle].inUse) CloseFile(handle);
    // What the writer changed goes to the disk whole, or, after a failure,
    // not at all.
    if (writer && hostFile && !hostFailed && !undone) Commit();
    openMode = 0;
    for (PackHandle& handle : handles) handle.inUse = 0;
    ForgetCache();
    pending.Clear();
    if (hostFile) {
        // What the stream still holds reaches the file here, or the pack's
        // last writes are lost: that is a failure too.
        if (writer && !hostFailed && Flush() != 0) HostFailure();
        if (CloseDiskFile(hostFile) != 0 && writer) hostFailed = true;
        hostFile = nullptr;
    }
    return 1;
}

void CPackFileManager::HostFailure()
{
    hostFailed = true;
    ForgetCache();
    DropRun();
}

std::int32_t CPackFileManager::FreeBlocks() const
{
    if (blockCount >= kMaxBlocks) return 0;
    std::int32_t free = kMaxBlocks - blockCount;
    for (std::int32_t b = 1; b < blockCount; ++b)
        if (table[b] == kFreeBlock && !TestBit(namedFreeBlocks, b) && !IsHeld(b)) ++free;
    return free;
}

std::size_t CPackFileManager::HostRead(void* buffer, std::size_t itemSize, std::size_t itemCount)
{
    if (!hostFile || !SettleRun() || !TurnStream(Transfer::Read)) return 0;
    // Every read lies inside the data area: one that comes up short has
    // failed.
    const std::size_t done = ReadDiskFile(buffer, itemSize, itemCount, hostFile);
    Transferred(done, itemSize, itemCount);
    return done;
}

std::size_t CPackFileManager::HostWrite(const void* buffer, std::size_t itemSize, std::size_t itemCount)
{
    if (!HostWritable() || !SettleRun()) return 0;
    const std::int64_t at = hostPosition;
    const std::size_t done = StreamWrite(buffer, itemSize, itemCount);
    if (done == itemCount)
        if (pack::DirectoryCache* c = Cache()) c->Written(at, buffer, itemSize * itemCount);
    return done;
}

std::size_t CPackFileManager::StreamWrite(const void* buffer, std::size_t itemSize, std::size_t itemCount)
{
    if (!TurnStream(Transfer::Write)) return 0;
    const std::size_t done = WriteDiskFile(buffer, itemSize, itemCount, hostFile);
    Transferred(done, itemSize, itemCount);
    return done;
}

bool CPackFileManager::TurnStream(Transfer next)
{
    // A stream turns between reading and writing only through a seek.
    if (lastTransfer != Transfer::None && lastTransfer != next && SeekDiskFile(hostFile, 0, SEEK_CUR) != 0) {
        HostFailure();
        return false;
    }
    lastTransfer = next;
    return true;
}

void CPackFileManager::Transferred(std::size_t done, std::size_t itemSize, std::size_t itemCount)
{
    if (done == itemCount) {
        hostPosition += static_cast<std::int32_t>(itemSize * itemCount);
        return;
    }
    hostPosition = static_cast<std::int32_t>(TellDiskFile(hostFile));
    HostFailure();
}

bool CPackFileManager::GatherData(const void* data, std::size_t size)
{
    const auto* in = static_cast<const std::uint8_t*>(data);
    while (size > 0) {
        if (!HostWritable()) return false;
        if (runFilled == 0) runStart = hostPosition;
        const std::int32_t block = (hostPosition - kDataOffset) / kBlockSize;
        const std::int32_t inBlock = (hostPosition - kDataOffset) % kBlockSize;
        const bool entering = inBlock == 0 && block >= hostBlocks;
        const std::int32_t room = runCapacity - runLength;
        if (room == 0 || (entering && room < kBlockSize)) {
            if (!SettleRun()) return false;
            continue;
        }
        // The zeros go in when the run is written: the data overwrites
        // them up to where it ends.
        if (entering) {
            runFilled = runLength + kBlockSize;
            if (pack::DirectoryCache* c = Cache()) c->Written(hostPosition, kZeroBlock, kBlockSize);
        }
        std::size_t piece = static_cast<std::size_t>(kBlockSize - inBlock);
        if (piece > static_cast<std::size_t>(room)) piece = static_cast<std::size_t>(room);
        if (piece > size) piece = size;
        std::memcpy(runBuffer + runLength, in, piece);
        if (pack::DirectoryCache* c = Cache()) c->Written(hostPosition, in, piece);
        runLength += static_cast<std::int32_t>(piece);
        if (runFilled < runLength) runFilled = runLength;
        hostPosition += static_cast<std::int32_t>(piece);
        in += piece;
        size -= piece;
    }
    return true;
}

bool CPackFileManager::WriteOutRun()
{
    if (runFilled == 0) return true;
    const std::size_t filled = static_cast<std::size_t>(runFilled);
    std::memset(runBuffer + runLength, 0, filled - static_cast<std::size_t>(runLength));
    hostPosition = runStart;
    runLength = 0;
    runFilled = 0;
    if (StreamWrite(runBuffer, filled, 1) != 1) return false;
    // The zeros after the data end the run at a block's end: the host file
    // holds every block it entered.
    const std::int32_t held = (hostPosition - kDataOffset) / kBlockSize;
    if (held > hostBlocks) hostBlocks = held;
    return true;
}

bool CPackFileManager::SettleRun()
{
    if (runFilled == 0) return true;
    const std::int32_t at = hostPosition;
    if (!WriteOutRun()) return false;
    return at == hostPosition || HostSeek(at, FILE_BEGIN) == 0;
}

void CPackFileManager::DropRun()
{
    if (runFilled != 0) hostPosition = runStart;
    runLength = 0;
    runFilled = 0;
    // A block the host file did not receive is not handed out.
    for (std::int32_t b = hostBlocks; b < blockCount; ++b) SetTableEntry(b, kFreeBlock);
    if (blockCount > hostBlocks) blockCount = hostBlocks;
}

int CPackFileManager::HostSeek(std::int32_t offset, int origin)
{
    if (!hostFile) return -1;
    // Where the run's data ends, the next piece continues it.
    if (origin == FILE_BEGIN && offset == hostPosition) return 0;
    if (!WriteOutRun()) return -1;
    int result;
    switch (origin) {
    case FILE_BEGIN:
        if (offset == hostPosition) return 0;
        result = SeekDiskFile(hostFile, offset, SEEK_SET);
        hostPosition = result == 0 ? offset : static_cast<std::int32_t>(TellDiskFile(hostFile));
        break;
    case FILE_CURRENT:
        result = SeekDiskFile(hostFile, offset, SEEK_CUR);
        if (result == 0)
            hostPosition += offset;
        else
            hostPosition = static_cast<std::int32_t>(TellDiskFile(hostFile));
        break;
    case FILE_END:
        result = SeekDiskFile(hostFile, offset, SEEK_END);
        hostPosition = static_cast<std::int32_t>(TellDiskFile(hostFile));
        break;
    default: return -1;
    }
    lastTransfer = Transfer::None;
    // A seek flushes what the stream holds: when that fails, what was
    // written may not have reached the file.
    if (result != 0) HostFailure();
    return result;
}

void CPackFileManager::SetTableEntry(std::int32_t block, std::int32_t value)
{
    const std::int32_t before = table[block];
    table[block] = value;
    if (block >= blockCount && (before == kFreeBlock) != (value == kFreeBlock))
        tableTailInUse += value == kFreeBlock ? -1 : 1;
    if (value == kFreeBlock && block < lowestFreeHint) lowestFreeHint = block;
    if (before == value) return;
    tableDirty[block >> 3] = static_cast<std::uint8_t>(tableDirty[block >> 3] | (1u << (block & 7)));
    if (pack::DirectoryCache* c = Cache()) c->TableChanged(block, before, value);
}

int CPackFileManager::StoreTableEntry(std::int32_t block)
{
    if (openMode != 2 || !HostWritable()) return -1;
    SetBit(tableDirty, block);
    return 0;
}

int CPackFileManager::WriteZeroBlock(std::int32_t block)
{
    if (HostSeek(BlockOffset(block), 0) != 0) return -1;
    for (int quarter = 0; quarter < kBlockSize / kSectorSize; ++quarter)
        if (HostWrite(kZeroBlock, kSectorSize, 1) != 1) return -1;
    return 0;
}

int CPackFileManager::Flush()
{
    if (!hostFile) return -1;
    WriteOutRun();  // a failure is noted: hostFailed
    const bool flushed = FlushDiskFile(hostFile) == 0 && !std::ferror(hostFile);
    std::clearerr(hostFile);
    if (!flushed) HostFailure();
    return flushed && !hostFailed ? 0 : -1;
}

void CPackFileManager::StopWhenFull()
{
    // Whatever is being written now cannot be finished: it is dropped when
    // the handles close, so the pack keeps the files as they were.
    for (PackHandle& h : handles)
        if (h.inUse && h.inPack && h.created) {
            h.dirty = 1;
            h.writeFailed = 1;
        }
    char path[kMaxPath];
    CopyText(path, hostPath, kMaxPath);
    Close();
    packFullStop(path);
    std::exit(1);
}

std::int32_t CPackFileManager::AllocateBlock(int mode)
{
    if (tableTailInUse > 0) return 0;
    if (blockCount >= kMaxBlocks) StopWhenFull();

    // Block 0 holds the root from the pack's creation on. A table that calls
    // it free is damaged, and handing it out would overwrite the root.
    // A free block that a damaged chain names stays free: handed out, it
    // would lie in two chains. And a block a chain held when the pack was
    // opened stays as it was until the next open, even when this writer
    // freed it: until the change is switched the stored tree still reads it,
    // and after, a power loss may bring back an entry that names it.
    for (std::int32_t b = lowestFreeHint > 0 ? lowestFreeHint : 1; b < blockCount; ++b) {
        if (table[b] != kFreeBlock || TestBit(namedFreeBlocks, b) || IsHeld(b)) continue;
        lowestFreeHint = b;
        if (mode == 1 && WriteZeroBlock(b) != 0) return 0;
        return b;
    }
    lowestFreeHint = blockCount;

    // Nothing free: append a zero-filled block. A block that could not be
    // written is not handed out. Nothing on the disk names it before the
    // pack's growth is synced (Stage). A block for the run is written with
    // it: when the run fails the block is taken back (DropRun).
    // A block a damaged chain names already is never appended.
    if (TestBit(namedFreeBlocks, blockCount)) return 0;
    if (mode == kBlockForRun && Gathering()) return HostWritable() ? blockCount++ : 0;
    if (WriteZeroBlock(blockCount) != 0) return 0;
    hostBlocks = blockCount + 1;
    return blockCount++;
}
