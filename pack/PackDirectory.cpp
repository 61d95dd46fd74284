// The directory tree of a pack: the current directory, paths, lookups and
// new directories.
#include <cstring>

#include "pack/PackFileManager.h"
#include "pack/PackText.h"
#include "platform/AsciiCase.h"

using namespace pack;

bool CPackFileManager::ReadEntries(std::int32_t block, int slot, int count, DirEntry* entries)
{
    if (block < 0 || block >= blockCount || slot < 0 || count < 1 || slot + count > kEntriesPerBlock) return false;
    // A block with entries waiting for the switch is read as the engine
    // has it.
    const std::uint8_t* bytes = pending.Bytes(block);
    if (DirectoryCache* c = Cache()) {
        // The whole block is read once and kept; what the cache holds is
        // what the engine sees.
        if (const std::uint8_t* cached = c->Bytes(block); cached && !bytes) bytes = cached;
        if (!c->Bytes(block)) {
            static std::uint8_t read[kBlockSize];
            if (!bytes) {
                if (HostSeek(BlockOffset(block), FILE_BEGIN) != 0 || HostRead(read, kBlockSize, 1) != 1) return false;
                bytes = read;
            }
            if (!c->Insert(block, bytes)) c->Insert(block, bytes);
        }
    }
    if (bytes) {
        std::memcpy(entries, bytes + kEntrySize * slot, static_cast<std::size_t>(kEntrySize * count));
    } else {
        if (HostSeek(BlockOffset(block) + kEntrySize * slot, FILE_BEGIN) != 0) return false;
        if (HostRead(entries, kEntrySize, static_cast<std::size_t>(count)) != static_cast<std::size_t>(count))
            return false;
    }
    for (int i = 0; i < count; ++i) entries[i].TerminateName();
    return true;
}

int CPackFileManager::WriteDirectory(std::int32_t block, int offset, const void* data, std::size_t size)
{
    if (!IsHeld(block) || openMode != 2) {
        if (HostSeek(BlockOffset(block) + offset, FILE_BEGIN) != 0) return -1;
        return HostWrite(data, size, 1) == 1 ? 0 : -1;
    }
    // A block the stored tree reads: the write waits for the switch.
    if (!HostWritable()) return -1;
    std::uint8_t* bytes = pending.Bytes(block);
    if (!bytes) {
        // What the host file holds there: the cache's copy is that.
        static std::uint8_t held[kBlockSize];
        const std::uint8_t* host = Cache() ? Cache()->Bytes(block) : nullptr;
        if (!host) {
            if (HostSeek(BlockOffset(block), FILE_BEGIN) != 0 || HostRead(held, kBlockSize, 1) != 1) return -1;
            host = held;
        }
        bytes = pending.Add(block, host);
        if (!bytes) return -1;
    }
    std::memcpy(bytes + offset, data, size);
    if (DirectoryCache* c = Cache()) c->Written(BlockOffset(block) + offset, data, size);
    return 0;
}

std::int32_t CPackFileManager::IndexedDirectory(std::int32_t first)
{
    DirectoryCache* c = Cache();
    if (!c) return -1;
    const std::int32_t known = c->FindDirectory(first);
    if (known >= 0) return known;
    // The chain must be sound for the index to answer as a scan would: it
    // ends in 0 within the data area, and it fits the cache. Loading a block may make the cache start over: then
    // the walk starts over once.
    static std::int32_t chain[DirectoryCache::kBlocks];
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::int32_t count = 0;
        bool whole = true;
        for (std::int32_t block = first;;) {
            DirEntry probe;
            if (block < 0 || block >= blockCount) return -1;  // a damaged entry names no block
            if (count == DirectoryCache::kBlocks || !ReadEntries(block, 0, 1, &probe)) return -1;
            if (!c->Bytes(block)) {
                whole = false;
                break;
            }
            chain[count++] = block;
            const std::int32_t next = NextBlock(block);
            if (next < 0) return -1;
            if (next == 0) break;
            block = next;
        }
        if (!whole) continue;
        for (std::int32_t i = 0; i < count; ++i)
            if (!c->Bytes(chain[i])) whole = false;
        if (whole) return c->AddDirectory(chain, count);
    }
    return -1;
}

int CPackFileManager::WriteEntry(std::int32_t block, int slot, const DirEntry& entry)
{
    return WriteDirectory(block, kEntrySize * slot, entry.bytes, kEntrySize);
}

std::int32_t CPackFileManager::NextBlock(std::int32_t block) const
{
    if (block < 0 || block >= blockCount) return -1;
    const std::int32_t next = table[block];
    if (next == kEndOfChain) return 0;
    if (next < 1 || next >= blockCount || table[next] == kFreeBlock) return -1;
    return next;
}

int CPackFileManager::SetCurrentDir(std::int32_t block)
{
    DirEntry dot;
    if (!ReadEntries(block, 0, 1, &dot)) return -1;
    if (dot.InUse() != 1 || dot.Type() != kTypeDirectory || !ascii::EqualIgnoringCase(dot.Name(), ".")) return -1;
    currentDir = block;
    return 0;
}

int CPackFileManager::SplitFirst(const char* path, char* first, char* rest)
{
    first[0] = 0;
    rest[0] = 0;
    if (path[0] == 0) return 0;

    std::size_t cut = 0;
    bool found = false;
    for (; path[cut]; ++cut) {
        if (path[cut] == '\\' || (path[cut] == ':' && path[cut + 1] != '\\')) {
            found = true;
            break;
        }
    }
    int result = 1;
    if (!found) {
        CopyText(first, path, kMaxPath);
    } else {
        CopyText(first, path, cut + 2 < kMaxPath ? cut + 2 : kMaxPath);
        CopyText(rest, path + cut + 1, kMaxPath);
        if (rest[0]) result = 2;
    }
    if (std::strlen(first) > kMaxNameLength) first[kMaxNameLength] = 0;
    return result;
}

int CPackFileManager::WalkTo(const char* path)
{
    if (path[0] == 0 || std::strcmp(path, "\\") == 0) return 0;
    char first[kMaxPath];
    char rest[kMaxPath];
    if (SplitFirst(path, first, rest) == 2) {
        if (WalkTo(first) != 0) return -1;
        return WalkTo(rest);
    }
    if (ascii::EqualIgnoringCase(first, "Z:\\")) {
        currentDir = 0;
        return 0;
    }
    if (ascii::EqualIgnoringCase(first, "Z:")) return 0;
    RemoveBackslashes(first);
    DirEntry entry;
    if (!FindEntry(first, kTypeDirectory, entry)) return -1;
    currentDir = entry.FirstBlock();
    return 0;
}

int CPackFileManager::ChangeDir(const char* path)
{
    if (!IsOpen() || !PathFits(path, kMaxPath, kMaxNameLength)) return -1;
    const std::int32_t remembered = currentDir;
    if (WalkTo(path) == 0) return 0;
    currentDir = remembered;
    return -1;
}

void CPackFileManager::SplitPath(const char* path, char* directory, char* name)
{
    directory[0] = 0;
    name[0] = 0;
    if (path[0] == 0) return;
    if (std::strcmp(path, ".") == 0) {
        std::strcpy(directory, ".");
        return;
    }

    const std::int32_t remembered = currentDir;
    const char* last = nullptr;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == ':') last = p;
    if (!last) {
        CopyText(name, path, kMaxPath);
    } else {
        const std::size_t cut = static_cast<std::size_t>(last - path) + 1;
        CopyText(directory, path, cut + 1 < kMaxPath ? cut + 1 : kMaxPath);
        CopyText(name, last + 1, kMaxPath);
    }

    DirEntry entry;
    if (StartsWithDrive(path) && ChangeDir(directory) == 0 && FindEntry(name, kTypeDirectory, entry)) {
        CopyText(directory, path, kMaxPath);
        name[0] = 0;
    }
    // A longer name is left whole: the callers refuse it, where a cut one
    // would name another entry.
    currentDir = remembered;
}

template <class Match> int CPackFileManager::ScanCurrentDir(Match match, DirEntry& entry)
{
    DirEntry entries[kEntriesPerBlock];
    std::int32_t block = currentDir;
    // A chain that loops is cut off after as many blocks as the pack holds.
    for (std::int32_t passed = 0; passed < blockCount; ++passed) {
        if (!ReadEntries(block, 0, kEntriesPerBlock, entries)) return 0;
        for (int slot = 0; slot < kEntriesPerBlock; ++slot) {
            if (match(entries[slot])) {
                entry = entries[slot];
                entry.SetLocation(block, slot);
                return 1;
            }
        }
        block = NextBlock(block);
        if (block <= 0) return 0;
    }
    return 0;
}

int CPackFileManager::FindEntry(const char* name, std::uint8_t typeMask, DirEntry& entry)
{
    const std::size_t length = std::strlen(name);
    if (length < 1 || length > kMaxNameLength) return 0;
    const std::int32_t dir = IndexedDirectory(currentDir);
    if (dir >= 0) {
        std::int32_t block = 0;
        int slot = 0;
        if (!Cache()->Lookup(dir, name, typeMask, block, slot) || !ReadEntries(block, slot, 1, &entry)) return 0;
        entry.SetLocation(block, slot);
        return 1;
    }
    return ScanCurrentDir(
        [&](const DirEntry& e) {
            return e.InUse() == 1 && (e.Type() & typeMask) && ascii::EqualIgnoringCase(e.Name(), name);
        },
        entry);
}

int CPackFileManager::FindEntryByBlock(std::int32_t block, std::uint8_t typeMask, DirEntry& entry)
{
    return ScanCurrentDir(
        [&](const DirEntry& e) { return e.InUse() == 1 && (e.Type() & typeMask) && e.FirstBlock() == block; }, entry);
}

int CPackFileManager::ExtendDirectory(std::int32_t last, DirEntry& entry)
{
    const std::int32_t added = AllocateBlock(kBlockForDirectory);
    if (added == 0) return 0;
    // The block reads as zeros now; the cache may keep it so.
    if (DirectoryCache* c = Cache(); c && !c->Bytes(added)) {
        static const std::uint8_t zeros[kBlockSize] = {};
        if (!c->Insert(added, zeros)) c->Insert(added, zeros);
    }
    // The new block's own entry is stored with the change's new blocks, the
    // link to it at the switch.
    SetTableEntry(added, kEndOfChain);
    SetTableEntry(last, added);
    entry.Clear();
    entry.SetLocation(added, 0);
    return 1;
}

int CPackFileManager::FindFreeSlot(DirEntry& entry)
{
    const std::int32_t dir = IndexedDirectory(currentDir);
    if (dir >= 0) {
        std::int32_t block = 0;
        int slot = 0;
        std::int32_t last = 0;
        if (Cache()->FirstFree(dir, block, slot, last)) {
            entry.Clear();
            entry.SetLocation(block, slot);
            return 1;
        }
        return ExtendDirectory(last, entry);
    }

    DirEntry entries[kEntriesPerBlock];
    std::int32_t block = currentDir;
    for (std::int32_t passed = 0; passed < blockCount; ++passed) {
        if (!ReadEntries(block, 0, kEntriesPerBlock, entries)) return 0;
        for (int slot = 0; slot < kEntriesPerBlock; ++slot) {
            if (entries[slot].InUse() == 0) {
                entry.Clear();
                entry.SetLocation(block, slot);
                return 1;
            }
        }
        const std::int32_t next = NextBlock(block);
        if (next < 0) return 0;  // a broken chain is not extended
        if (next == 0) return ExtendDirectory(block, entry);
        block = next;
    }
    return 0;
}

int CPackFileManager::GetCurrentPath(char* buffer, int limit)
{
    // The text is built backwards from the end of the work buffer; room is
    // kept at its front for "Z:\".
    char* const end = currentPath + kMaxPath - 1;
    char* text = end;
    *text = 0;
    bool fits = true;

    if (IsOpen()) {
        const std::int32_t remembered = currentDir;
        DirEntry dotDot;
        DirEntry named;
        for (std::int32_t depth = 0; depth < blockCount && FindEntry("..", kTypeDirectory, dotDot); ++depth) {
            const std::int32_t child = currentDir;
            currentDir = dotDot.FirstBlock();
            if (!FindEntryByBlock(child, kTypeDirectory, named)) break;
            const std::size_t length = std::strlen(named.Name());
            if (static_cast<std::size_t>(text - currentPath) < length + 1 + 3) {
                fits = false;
                break;
            }
            *--text = '\\';
            text -= length;
            std::memcpy(text, named.Name(), length);
        }
        currentDir = remembered;
    }
    text -= 3;
    std::memcpy(text, "Z:\\", 3);
    std::memmove(currentPath, text, static_cast<std::size_t>(end - text) + 1);

    if (!fits || limit < 1 || static_cast<int>(std::strlen(currentPath)) >= limit) {
        currentPath[0] = 0;
        if (limit > 0) buffer[0] = 0;
        return 0;
    }
    std::strcpy(buffer, currentPath);
    return 1;
}

int CPackFileManager::MakeOneDir(const char* given)
{
    if (given[0] == '.' || given[0] == 0 || std::strcmp(given, "\\") == 0 || ascii::EqualIgnoringCase(given, "Z:\\") ||
        ascii::EqualIgnoringCase(given, "Z:"))
        return 0;
    if (std::strlen(given) >= kNameSize) return -1;

    char name[kNameSize];
    CopyText(name, given, kNameSize);
    RemoveBackslashes(name);
    DirEntry existing;
    if (name[0] == 0 || FindEntry(name, kTypeAny, existing)) return -1;
    if (!MayWriteEntries(currentDir)) return -1;

    DirEntry slot;
    if (!FindFreeSlot(slot)) return -1;
    const std::int32_t block = AllocateBlock(kBlockForDirectory);
    if (block == 0) return -1;
    SetTableEntry(block, kEndOfChain);

    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    DirEntry entry;
    entry.Clear();
    entry.SetInUse(1);
    entry.SetTime(now.dwHighDateTime, now.dwLowDateTime);
    entry.SetSize(0);
    entry.SetType(kTypeDirectory);

    // The new directory's own block is complete before its parent names it
    // (the parent's entry waits for the switch when the stored tree reads
    // it), so that no stop leaves an entry pointing at a half-made
    // directory.
    entry.SetName(".");
    entry.SetFirstBlock(block);
    if (WriteEntry(block, 0, entry) != 0) return -1;
    entry.SetName("..");
    entry.SetFirstBlock(currentDir);
    if (WriteEntry(block, 1, entry) != 0) return -1;

    entry.SetName(name);
    entry.SetFirstBlock(block);
    return WriteEntry(slot.EntryBlock(), slot.EntrySlot(), entry);
}

int CPackFileManager::MakeDirWalk(const char* path)
{
    if (path[0] == 0 || std::strcmp(path, "\\") == 0) return 0;
    char first[kMaxPath];
    char rest[kMaxPath];
    SplitFirst(path, first, rest);
    if (ChangeDir(first) != 0) {
        if (MakeOneDir(first) != 0 || ChangeDir(first) != 0) return -1;
    }
    return rest[0] ? MakeDirWalk(rest) : 0;
}

int CPackFileManager::MakeDir(const char* path)
{
    if (!PathFits(path, kMaxPath, kMaxNameLength)) return -1;
    const std::int32_t remembered = currentDir;
    const int result = MakeDirWalk(path);
    currentDir = remembered;
    return result;
}
