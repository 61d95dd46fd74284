// A writer's change reaching the host file whole and durably: staged,
// switched, released, or discarded (PackFileManager.h, "A writer's change").
#include <cstdlib>
#include <cstring>

#include "pack/PackFileManager.h"
#include "pack/PackText.h"
#include "platform/Disk.h"

using namespace pack;

int CPackFileManager::SyncHost()
{
    if (!HostWritable()) return -1;
    if (!SettleRun() || SyncDiskFile(hostFile) != 0) {
        HostFailure();
        return -1;
    }
    return 0;
}

template <class Pick, class Value> bool CPackFileManager::WriteTableEntries(Pick pick, Value value)
{
    // Neighbouring entries go in one write: a change of many blocks in a row
    // (a new file's chain) is one write, not one a block.
    constexpr std::int32_t kRun = 512;
    std::uint8_t run[4 * kRun];
    for (std::int32_t b = 0; b < kMaxBlocks;) {
        if (!TableDirty(b) || !pick(b)) {
            ++b;
            continue;
        }
        const std::int32_t first = b;
        std::int32_t count = 0;
        while (b < kMaxBlocks && count < kRun && TableDirty(b) && pick(b)) {
            StoreU32(run + 4 * count, static_cast<std::uint32_t>(value(b)));
            SetBit(tableWritten, b);
            ++count;
            ++b;
        }
        if (HostSeek(kTableOffset + 4 * first, FILE_BEGIN) != 0 ||
            HostWrite(run, 4, static_cast<std::size_t>(count)) != static_cast<std::size_t>(count))
            return false;
    }
    return true;
}

bool CPackFileManager::Changed() const
{
    if (openMode != 2) return false;
    if (pending.Count() > 0) return true;
    for (std::uint8_t bits : tableDirty)
        if (bits) return true;
    return false;
}

int CPackFileManager::Stage()
{
    if (openMode != 2 || !HostWritable() || undone) return -1;
    // A file still being written has no place in the change yet.
    for (const PackHandle& h : handles)
        if (h.inUse && h.inPack && (h.access & 2)) return -1;
    // The pack's growth is on the disk before any entry names a block past
    // its old end: a table naming blocks past the file's end is refused.
    if (blockCount > committedBlocks && SyncHost() != 0) return -1;
    // The table entries of blocks nothing on the disk names yet: a stop from
    // here leaves them lost, never named and free.
    const bool written = WriteTableEntries([&](std::int32_t b) { return !IsHeld(b) && table[b] != storedTable[b]; },
                                           [&](std::int32_t b) { return table[b]; });
    if (!written) {
        HostFailure();
        return -1;
    }
    if (SyncHost() != 0) return -1;
    staged = true;
    return 0;
}

int CPackFileManager::Switch()
{
    if (openMode != 2 || undone || (!staged && Stage() != 0)) return -1;
    if (!HostWritable()) return -1;
    switched = true;
    bool written = true;
    for (std::int32_t i = 0; written && i < pending.Count(); ++i)
        written =
            HostSeek(BlockOffset(pending.BlockAt(i)), FILE_BEGIN) == 0 && HostWrite(pending.Now(i), kBlockSize, 1) == 1;
    // The links that grow a directory that was there.
    written = written &&
              WriteTableEntries(
                  [&](std::int32_t b) { return IsHeld(b) && table[b] != kFreeBlock && table[b] != storedTable[b]; },
                  [&](std::int32_t b) { return table[b]; });
    if (written && SyncHost() == 0) return 0;
    if (!hostFailed) HostFailure();
    UndoSwitch();
    return -1;
}

bool CPackFileManager::ResumeAfterFailure()
{
    if (!hostFile) return false;
    // What the stream held when it failed is dropped; the position is
    // told again.
    SettleRun();
    std::clearerr(hostFile);
    lastTransfer = Transfer::None;
    hostPosition = -1;
    hostFailed = false;
    return true;
}

int CPackFileManager::UndoSwitch()
{
    if (openMode != 2 || !switched) return -1;
    const bool failedBefore = hostFailed;
    if (!ResumeAfterFailure()) return -1;
    bool written = true;
    for (std::int32_t i = pending.Count() - 1; written && i >= 0; --i)
        written = HostSeek(BlockOffset(pending.BlockAt(i)), FILE_BEGIN) == 0 &&
                  HostWrite(pending.Before(i), kBlockSize, 1) == 1;
    written = written && WriteTableEntries([&](std::int32_t b) { return IsHeld(b) && TestBit(tableWritten, b); },
                                           [&](std::int32_t b) { return storedTable[b]; });
    written = written && SyncHost() == 0;
    switched = false;
    undone = true;
    // The engine's own view is the change, which is no longer on the disk:
    // it is not committed again, and after a failure nothing more is written.
    ForgetCache();
    hostFailed = failedBefore || !written;
    return written ? 0 : -1;
}

void CPackFileManager::TakeAsStored()
{
    std::memcpy(storedTable, table, sizeof table);
    for (std::int32_t b = 0; b < kMaxBlocks; ++b)
        if (table[b] != kFreeBlock) SetBit(heldBlocks, b);
    std::memset(tableDirty, 0, sizeof tableDirty);
    std::memset(tableWritten, 0, sizeof tableWritten);
    pending.Clear();
    staged = false;
    switched = false;
    committedBlocks = blockCount;
    committedLength = static_cast<long>(kDataOffset) + static_cast<long>(hostBlocks) * kBlockSize;
}

int CPackFileManager::Release()
{
    if (openMode != 2 || !switched || !HostWritable()) return -1;
    // The blocks the change freed. No sync: a loss here leaves them lost.
    const bool written = WriteTableEntries([&](std::int32_t b) { return table[b] != storedTable[b]; },
                                           [&](std::int32_t b) { return table[b]; });
    if (!written) HostFailure();
    // What the switch made is the new start either way: its blocks are held.
    TakeAsStored();
    lostBlocks.clear();
    return written ? 0 : -1;
}

int CPackFileManager::Commit()
{
    if (!Changed()) return 0;
    if (Stage() != 0 || Switch() != 0) return -1;
    return Release();
}

void CPackFileManager::Discard()
{
    if (openMode != 2 || !hostFile) {
        Close();
        return;
    }
    const bool failedBefore = hostFailed;
    if (switched) UndoSwitch();
    // The table entries the stage wrote, and the pack's growth, whole blocks
    // and any part of one a failed write left.
    if (ResumeAfterFailure()) {
        const bool written = WriteTableEntries([&](std::int32_t b) { return TestBit(tableWritten, b); },
                                               [&](std::int32_t b) { return storedTable[b]; }) &&
                             SettleRun() && TruncateDiskFile(hostFile, committedLength) == 0 &&
                             SyncDiskFile(hostFile) == 0;
        hostFailed = failedBefore || !written;
    }
    // Nothing of the change is stored: the handles go without storing it.
    for (PackHandle& h : handles) h.inUse = 0;
    std::memcpy(table, storedTable, sizeof table);
    std::memset(tableDirty, 0, sizeof tableDirty);
    undone = true;
    const bool failed = hostFailed;
    hostFailed = true;  // Close writes nothing more
    Close();
    hostFailed = failed;
}

std::int32_t CPackFileManager::FreeLostBlocks()
{
    if (openMode != 2 || !HostWritable()) return 0;
    std::int32_t freed = 0;
    for (const std::int32_t block : lostBlocks) {
        if (block <= 0 || block >= blockCount || table[block] == kFreeBlock) continue;
        SetTableEntry(block, kFreeBlock);
        ++freed;
    }
    lostBlocks.clear();
    return freed;
}
