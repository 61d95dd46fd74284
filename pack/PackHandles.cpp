// Files inside a pack (or on disk) through numbered handles.
#include <cstdio>
#include <cstring>

#include "pack/PackFileManager.h"
#include "pack/PackText.h"

using namespace pack;

namespace {

constexpr std::uint8_t kMayRead = 1;
constexpr std::uint8_t kMayWrite = 2;

}  // namespace

int CPackFileManager::FindFreeHandle() const
{
    for (int h = 1; h < kHandleSlots; ++h)
        if (!handles[h].inUse) return h;
    return 0;
}

PackHandle* CPackFileManager::ValidHandle(int handle)
{
    if (handle < 1 || handle >= kHandleSlots || !handles[handle].inUse) return nullptr;
    return &handles[handle];
}

std::int32_t CPackFileManager::BlockHolding(std::int32_t first, std::int32_t index) const
{
    // No chain is longer than the pack: a longer walk is going round a loop.
    if (index >= blockCount) return -1;
    std::int32_t block = first;
    for (std::int32_t i = 0; i < index; ++i) {
        block = NextBlock(block);
        if (block <= 0) return -1;
    }
    return block;
}

bool CPackFileManager::IsEntryOpen(std::int32_t block, std::int32_t slot, bool writersOnly) const
{
    for (int h = 1; h < kHandleSlots; ++h) {
        const PackHandle& other = handles[h];
        if (!other.inUse || !other.inPack) continue;
        if (other.entryBlock != block || other.entrySlot != slot) continue;
        if (!writersOnly || (other.access & kMayWrite)) return true;
    }
    return false;
}

int CPackFileManager::OpenFile(const char* path, int access, int where)
{
    // Neither the pack nor the disk gets a path cut short: it would name
    // another file.
    if (!PathFits(path, kMaxPath, kMaxNameLength)) return -1;
    char directory[kMaxPath];
    char name[kMaxPath];
    SplitPath(path, directory, name);
    int result = -1;
    bool diskAllowed = true;

    if (where & 1) {
        const std::int32_t remembered = currentDir;
        if (ChangeDir(directory) == 0) {
            switch (access) {
            case OF_READ: result = OpenForRead(name); break;
            case OF_WRITE:
                if (openMode == 2)
                    result = CreateNewFile(name);
                else
                    diskAllowed = false;
                break;
            case OF_READWRITE:
                if (openMode != 2) diskAllowed = false;
                break;
            default: break;
            }
        }
        currentDir = remembered;
    }

    if ((where & 2) && result == -1 && diskAllowed) {
        const int handle = FindFreeHandle();
        if (handle == 0) return -1;
        const HFILE file = _lopen(path, access);
        if (file == HFILE_ERROR) return -1;
        PackHandle& h = handles[handle];
        std::memset(&h, 0, sizeof h);
        h.inUse = 1;
        CopyText(h.name, name, kNameSize);
        h.access = static_cast<std::uint8_t>(access == OF_READ    ? kMayRead
                                             : access == OF_WRITE ? kMayWrite
                                                                  : kMayRead | kMayWrite);
        h.inPack = 0;
        h.diskHandle = file;
        result = handle;
    }
    return result;
}

int CPackFileManager::OpenForRead(const char* name)
{
    const int handle = FindFreeHandle();
    if (handle == 0) return -1;
    DirEntry entry;
    if (!FindEntry(name, kTypeFile, entry)) return -1;
    // A file being written has no content to read until it is closed.
    if (IsEntryOpen(entry.EntryBlock(), entry.EntrySlot(), true)) return -1;

    PackHandle& h = handles[handle];
    std::memset(&h, 0, sizeof h);
    h.inUse = 1;
    CopyText(h.name, name, kNameSize);
    h.access = kMayRead;
    h.firstBlock = entry.FirstBlock();
    h.position = 0;
    h.size = static_cast<std::int32_t>(entry.Size());
    h.timeHigh = entry.TimeHigh();
    h.timeLow = entry.TimeLow();
    h.entryBlock = entry.EntryBlock();
    h.entrySlot = entry.EntrySlot();
    h.currentBlock = h.firstBlock;
    h.blockOffset = 0;
    h.type = entry.Type();
    h.dirty = 0;
    h.inPack = 1;
    h.contiguous = entry.Contiguous();
    h.directory = currentDir;
    return handle;
}

int CPackFileManager::CreateNewFile(const char* name)
{
    const int handle = FindFreeHandle();
    if (handle == 0) return -1;
    // A file needs a name: an empty one (a path naming a directory), one the
    // entry cannot hold, and "." and ".." (which the root does not hold, and
    // every other directory holds as directories) are refused.
    const std::size_t length = std::strlen(name);
    if (length < 1 || length > kMaxNameLength || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return -1;
    if (!MayWriteEntries(currentDir)) return -1;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    DirEntry existing;
    bool replacing = false;
    if (FindEntry(name, kTypeAny, existing)) {
        if (existing.Type() & kTypeDirectory) return -1;
        // One writer at a time, and none while the file is read: the writer
        // frees the old chain at its close, which another handle may still
        // read, or store again.
        if (IsEntryOpen(existing.EntryBlock(), existing.EntrySlot(), false)) return -1;
        // A file of that name is replaced when the new one is closed: its
        // entry takes the new one's place and then its blocks are freed.
        // Until then the pack holds the old file whole, so a writer stopped
        // half-way never leaves it empty or missing.
        if (existing.Type() == kTypeFile)
            replacing = true;
        else
            RemoveFile(name);
    }
    std::int32_t block = existing.EntryBlock();
    std::int32_t slot = existing.EntrySlot();
    if (!replacing) {
        DirEntry entry;
        if (!FindFreeSlot(entry)) return -1;
        block = entry.EntryBlock();
        slot = entry.EntrySlot();
        entry.Clear();
        entry.SetInUse(1);
        entry.SetName(name);
        entry.SetTime(now.dwHighDateTime, now.dwLowDateTime);
        entry.SetType(kTypeFile);
        entry.SetLocation(block, slot);
        if (WriteEntry(block, slot, entry) != 0) return -1;
    }

    PackHandle& h = handles[handle];
    std::memset(&h, 0, sizeof h);
    h.inUse = 1;
    h.created = 1;
    h.replacing = replacing ? 1 : 0;
    h.replacedFirst = replacing ? existing.FirstBlock() : 0;
    CopyText(h.name, name, kNameSize);
    h.access = kMayWrite;
    h.timeHigh = now.dwHighDateTime;
    h.timeLow = now.dwLowDateTime;
    h.entryBlock = block;
    h.entrySlot = slot;
    h.type = kTypeFile;
    h.inPack = 1;
    h.directory = currentDir;
    return handle;
}

int CPackFileManager::RemoveFile(const char* name)
{
    DirEntry entry;
    if (!FindEntry(name, kTypeFile, entry) || entry.Type() != kTypeFile) return -1;
    // An open file stays: its handle would store the freed chain again.
    if (IsEntryOpen(entry.EntryBlock(), entry.EntrySlot(), false)) return -1;
    if (!MayWriteEntries(currentDir)) return -1;

    // The entry goes at the switch and the blocks are stored free after it:
    // a stop half-way leaves blocks that no chain holds, never an entry that
    // names free blocks.
    if (ClearEntry(entry.EntryBlock(), entry.EntrySlot()) != 0) return -1;
    FreeChain(entry.FirstBlock());
    return 0;
}

int CPackFileManager::ClearEntry(std::int32_t block, int slot)
{
    const std::uint8_t unused = 0;
    return WriteDirectory(block, kEntrySize * slot, &unused, 1);
}

void CPackFileManager::FreeChain(std::int32_t first)
{
    std::int32_t block = first;
    for (std::int32_t passed = 0; block > 0 && block < blockCount && passed < blockCount; ++passed) {
        // A block another chain holds too stays with it.
        if (table[block] == kFreeBlock || IsSharedBlock(block)) break;
        const std::int32_t next = NextBlock(block);
        SetTableEntry(block, kFreeBlock);
        block = next;
    }
}

std::size_t CPackFileManager::Read(void* buffer, std::size_t itemSize, std::size_t itemCount, int handle)
{
    PackHandle* h = ValidHandle(handle);
    if (!h || !(h->access & kMayRead)) return 0;
    if (!h->inPack) {
        std::size_t items = 0;
        for (; items < itemCount; ++items) {
            const UINT got =
                _lread(h->diskHandle, static_cast<char*>(buffer) + items * itemSize, static_cast<UINT>(itemSize));
            if (got != itemSize) break;
        }
        return items;
    }
    if (!IsOpen() || h->currentBlock == 0) return 0;
    // A damaged entry may name a first block outside the data area: nothing
    // of the host file outside it is file data.
    if (h->currentBlock < 0 || h->currentBlock >= blockCount) return 0;

    char* out = static_cast<char*>(buffer);
    const std::int64_t length = h->size;
    if (HostSeek(BlockOffset(h->currentBlock) + h->blockOffset, 0) != 0) return 0;

    std::size_t items = 0;
    if (h->contiguous) {
        for (; items < itemCount; ++items) {
            const std::int64_t end = static_cast<std::int64_t>(h->position) + static_cast<std::int64_t>(itemSize);
            if (end > length) break;
            // The item's blocks follow each other: one host read, as long as
            // they all lie inside the data area.
            if (itemSize > 0 && h->firstBlock + (end - 1) / kBlockSize >= blockCount) break;
            if (itemSize > 0 && HostRead(out, itemSize, 1) != 1) break;
            out += itemSize;
            h->position = static_cast<std::int32_t>(end);
            h->currentBlock = h->firstBlock + h->position / kBlockSize;
            h->blockOffset = h->position % kBlockSize;
        }
        return items;
    }

    for (; items < itemCount; ++items) {
        if (static_cast<std::int64_t>(h->position) + static_cast<std::int64_t>(itemSize) > length) break;
        std::size_t left = itemSize;
        while (left > 0) {
            if (h->blockOffset >= kBlockSize) {
                const std::int32_t next = NextBlock(h->currentBlock);
                if (next <= 0 || h->position / kBlockSize >= blockCount) return items;
                h->currentBlock = next;
                h->blockOffset = 0;
                if (HostSeek(BlockOffset(next), 0) != 0) return items;
            }
            const std::size_t piece = ConsecutivePiece(*h, left);
            if (HostRead(out, piece, 1) != 1) return items;
            out += piece;
            left -= piece;
            h->position += static_cast<std::int32_t>(piece);
            h->blockOffset += static_cast<std::int32_t>(piece);
            // A piece that went on into the blocks after ends in the last.
            for (; h->blockOffset > kBlockSize; h->blockOffset -= kBlockSize) ++h->currentBlock;
        }
    }
    return items;
}

std::size_t CPackFileManager::ConsecutivePiece(const PackHandle& h, std::size_t left) const
{
    const std::size_t room = static_cast<std::size_t>(kBlockSize - h.blockOffset);
    std::size_t piece = left < room ? left : room;
    if (!runsEnabled) return piece;
    // Each block that the chain follows with the next one along, as the
    // block-at-a-time loop would step into it, is read with the same host
    // read: the position needs no seek there.
    std::int32_t block = h.currentBlock;
    while (piece < left && NextBlock(block) == block + 1 &&
           (static_cast<std::size_t>(h.position) + piece) / kBlockSize < static_cast<std::size_t>(blockCount)) {
        const std::size_t more = left - piece;
        piece += more < kBlockSize ? more : kBlockSize;
        ++block;
    }
    return piece;
}

int CPackFileManager::ReadBytes(int handle, void* buffer, int byteCount)
{
    PackHandle* h = ValidHandle(handle);
    if (!h) return -1;
    if (!h->inPack) return static_cast<int>(_lread(h->diskHandle, buffer, static_cast<UINT>(byteCount)));
    if (!IsOpen() || byteCount < 0) return 0;
    return Read(buffer, static_cast<std::size_t>(byteCount), 1, handle) == 1 ? byteCount : 0;
}

// A write into the pack that stopped short (no block to be had, a broken
// chain, a failed host write) is remembered: a replacement so written is not
// stored.
static std::size_t WriteStopped(PackHandle& h, std::size_t items)
{
    h.writeFailed = 1;
    return items;
}

std::size_t CPackFileManager::Write(const void* buffer, std::size_t itemSize, std::size_t itemCount, int handle)
{
    PackHandle* h = ValidHandle(handle);
    if (!h || !(h->access & kMayWrite)) return 0;
    if (!h->inPack) {
        std::size_t items = 0;
        for (; items < itemCount; ++items) {
            const UINT put = _lwrite(h->diskHandle, static_cast<const char*>(buffer) + items * itemSize,
                                     static_cast<UINT>(itemSize));
            if (put != itemSize) break;
        }
        return items;
    }
    if (!IsOpen()) return 0;

    // A position at the start of a block that the contiguous read path or a
    // seek reached may lie past the chain's end. Such a position is taken as
    // the end of the block before it, so that the chain is followed (or
    // extended) from there and nothing is written outside it.
    if (h->currentBlock != 0 && h->blockOffset == 0 && h->position > 0) {
        const std::int32_t last = BlockHolding(h->firstBlock, (h->position - 1) / kBlockSize);
        if (last <= 0) return 0;
        h->currentBlock = last;
        h->blockOffset = kBlockSize;
    }

    // A new file's data is gathered into runs (nothing names its blocks
    // yet); one without data has no place to go to before its first block.
    const bool gather = h->created && Gathering();
    if (!gather || h->currentBlock != 0) HostSeek(BlockOffset(h->currentBlock) + h->blockOffset, 0);
    h->dirty = 1;
    if (itemCount == 0) return 0;

    const int mode = gather ? kBlockForRun : kBlockForData;
    const char* in = static_cast<const char*>(buffer);
    for (std::size_t items = 0; items < itemCount; ++items) {
        std::size_t left = itemSize;
        while (left > 0) {
            if (h->currentBlock == 0) {
                const std::int32_t block = AllocateBlock(mode);
                if (block == 0) return WriteStopped(*h, items);
                SetTableEntry(block, kEndOfChain);
                h->firstBlock = block;
                h->currentBlock = block;
                h->blockOffset = 0;
                HostSeek(BlockOffset(block), 0);
            } else if (h->blockOffset >= kBlockSize) {
                std::int32_t next = NextBlock(h->currentBlock);
                if (next < 0) return WriteStopped(*h, items);
                if (next == 0) {
                    next = AllocateBlock(mode);
                    if (next == 0) return WriteStopped(*h, items);
                    SetTableEntry(next, kEndOfChain);
                    SetTableEntry(h->currentBlock, next);
                }
                h->currentBlock = next;
                h->blockOffset = 0;
                HostSeek(BlockOffset(next), 0);
            }
            const std::size_t room = static_cast<std::size_t>(kBlockSize - h->blockOffset);
            const std::size_t piece = left < room ? left : room;
            if (!(gather ? GatherData(in, piece) : HostWrite(in, piece, 1) == 1)) return WriteStopped(*h, items);
            in += piece;
            left -= piece;
            h->position += static_cast<std::int32_t>(piece);
            h->blockOffset += static_cast<std::int32_t>(piece);
            if (h->position > h->size) h->size = h->position;
        }
    }
    return itemCount;
}

int CPackFileManager::Seek(int handle, std::int32_t offset, int origin)
{
    PackHandle* h = ValidHandle(handle);
    if (!h) return -1;
    if (!h->inPack) return _llseek(h->diskHandle, offset, origin);
    if (!IsOpen()) return -1;

    std::int64_t target;
    switch (origin) {
    case FILE_BEGIN: target = offset; break;
    case FILE_CURRENT: target = static_cast<std::int64_t>(h->position) + offset; break;
    case FILE_END: target = static_cast<std::int64_t>(h->size) + offset; break;
    default: return -1;
    }
    if (target > h->size) target = h->size;
    if (target < 0) target = 0;

    h->position = static_cast<std::int32_t>(target);
    h->blockOffset = static_cast<std::int32_t>(target % kBlockSize);
    if (h->contiguous) {
        // Wide arithmetic: a damaged first block may lie anywhere. Read
        // refuses a block outside the data area.
        h->currentBlock =
            static_cast<std::int32_t>(static_cast<std::int64_t>(h->firstBlock) + h->position / kBlockSize);
        return 0;
    }
    if (h->firstBlock == 0) return -1;
    const std::int32_t block = BlockHolding(h->firstBlock, h->position / kBlockSize);
    if (block <= 0) return -1;
    h->currentBlock = block;
    return 0;
}

std::int32_t CPackFileManager::Tell(int handle)
{
    PackHandle* h = ValidHandle(handle);
    if (!h) return 0;
    return h->inPack && IsOpen() ? h->position : -1;
}

std::int32_t CPackFileManager::GetLength(int handle)
{
    PackHandle* h = ValidHandle(handle);
    if (!h) return 0;
    if (h->inPack) return h->size;
    const LONG length = _llseek(h->diskHandle, 0, FILE_END);
    _llseek(h->diskHandle, 0, FILE_BEGIN);
    return length;
}

int CPackFileManager::CloseFile(int handle)
{
    PackHandle* h = ValidHandle(handle);
    if (!h) return -1;
    if (!h->inPack) {
        h->inUse = 0;
        return _lclose(h->diskHandle);
    }
    if (!IsOpen()) return -1;
    // A replacement is stored even when nothing was written: the file is
    // then empty.
    const bool stored = !(h->dirty || h->replacing) || !(h->access & kMayWrite) || StoreEntry(handle);
    h->inUse = 0;
    return stored ? 0 : -1;
}

int CPackFileManager::DiscardFile(int handle)
{
    PackHandle* h = ValidHandle(handle);
    if (!h) return -1;
    if (h->inPack && h->created) {
        h->dirty = 1;
        h->writeFailed = 1;
    }
    CloseFile(handle);
    return 0;
}

void CPackFileManager::DropFailedWrite(PackHandle& h)
{
    // The chain was never stored, so on disk its blocks are free already.
    std::int32_t block = h.firstBlock;
    for (std::int32_t passed = 0; block > 0 && block < blockCount && passed < blockCount; ++passed) {
        const std::int32_t next = table[block];
        if (next == kFreeBlock) break;
        SetTableEntry(block, kFreeBlock);
        block = next;
    }
    h.firstBlock = 0;
    // A replaced file keeps its entry and chain. A new file's entry goes
    // again: it was written, empty, when the file was created, and like
    // every entry of the change it reaches the disk only with the switch.
    if (!h.replacing && HostWritable()) ClearEntry(h.entryBlock, h.entrySlot);
    h.replacing = 0;
}

bool CPackFileManager::StoreEntry(int handle)
{
    PackHandle& h = handles[handle];
    // A file whose writing stopped short, or that can no longer be stored
    // whole, is not stored half-written: the old file stays, or a new one is
    // not made at all.
    const bool storable = !h.writeFailed && MayWriteEntries(h.directory);
    if (h.created && !storable) {
        DropFailedWrite(h);
        return false;
    }
    if (!storable) return false;
    // The chain's table entries are the change's already; the contiguous
    // byte is learnt from them.
    std::uint8_t contiguous = 1;
    std::int32_t block = h.firstBlock;
    for (std::int32_t passed = 0; block > 0 && block < blockCount && passed < blockCount; ++passed) {
        const std::int32_t next = NextBlock(block);
        if (next != 0 && next != block + 1) contiguous = 0;
        if (next <= 0) break;
        block = next;
    }

    DirEntry entry;
    entry.Clear();
    entry.SetInUse(1);
    entry.SetName(h.name);
    entry.SetTime(h.timeHigh, h.timeLow);
    entry.SetFirstBlock(h.firstBlock);
    entry.SetSize(static_cast<std::uint32_t>(h.size));
    entry.SetType(h.type);
    entry.SetContiguous(contiguous);
    // The file's data reaches the host file now, so that a full disk is
    // met by the file it stops, not by a later one. The entry waits for the
    // switch with the rest of the change; a replaced file's blocks are freed
    // with it, and stored free only after the switch.
    const bool written = Flush() == 0 && WriteEntry(h.entryBlock, h.entrySlot, entry) == 0;
    if (!written && h.created) {
        DropFailedWrite(h);
        return false;
    }
    if (written && h.replacing) FreeChain(h.replacedFirst);
    h.replacing = 0;
    return written;
}

void CPackFileManager::MarkForRewrite(int handle)
{
    PackHandle* h = ValidHandle(handle);
    if (!IsOpen() || !h) return;
    h->dirty = 1;
    h->access = kMayWrite;
}
