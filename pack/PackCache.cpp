// The directory cache: blocks as the host file holds them, and a name index
// and a free-slot position for each directory whose chain is sound.
#include "pack/PackCache.h"

#include <cstdlib>
#include <cstring>

#include "pack/PackText.h"
#include "platform/AsciiCase.h"

namespace pack {

namespace {

// The name of a stored entry, made terminated as a read makes it; its length.
std::size_t StoredName(const std::uint8_t* entry, char* name)
{
    const std::size_t length = strnlen(reinterpret_cast<const char*>(entry + DirEntry::kName), kMaxNameLength);
    std::memcpy(name, entry + DirEntry::kName, length);
    name[length] = 0;
    return length;
}

}  // namespace

DirectoryCache::DirectoryCache()
{
    // Taken untouched from the system: pages become resident as they are used.
    blocks = static_cast<Block*>(std::calloc(kBlocks, sizeof(Block)));
    indexOf = static_cast<std::int32_t*>(std::calloc(kMaxBlocks, sizeof(std::int32_t)));
    records = static_cast<Record*>(std::calloc(kRecords, sizeof(Record)));
    if (!blocks || !indexOf || !records) {
        std::free(blocks);
        std::free(indexOf);
        std::free(records);
        blocks = nullptr;
        indexOf = nullptr;
        records = nullptr;
    }
    for (Directory& d : directories) d.first = -1;
}

DirectoryCache::~DirectoryCache()
{
    std::free(blocks);
    std::free(indexOf);
    std::free(records);
}

void DirectoryCache::Clear()
{
    if (!blocks) return;
    for (std::int32_t i = 0; i < usedBlocks; ++i) indexOf[blocks[i].block] = 0;
    usedBlocks = 0;
    if (usedRecords > 0) std::memset(records, 0, sizeof(Record) * kRecords);
    usedRecords = 0;
    for (Directory& d : directories) d.first = -1;
}

const std::uint8_t* DirectoryCache::Bytes(std::int32_t block) const
{
    if (!blocks || block < 0 || block >= kMaxBlocks || indexOf[block] == 0) return nullptr;
    return blocks[indexOf[block] - 1].bytes;
}

bool DirectoryCache::Insert(std::int32_t block, const std::uint8_t* bytes)
{
    if (!blocks || block < 0 || block >= kMaxBlocks) return false;
    if (indexOf[block] != 0) {
        std::memcpy(blocks[indexOf[block] - 1].bytes, bytes, kBlockSize);
        return true;
    }
    if (usedBlocks == kBlocks) {
        Clear();
        return false;
    }
    Block& b = blocks[usedBlocks];
    b.block = block;
    b.directory = -1;
    b.position = 0;
    b.next = -1;
    std::memcpy(b.bytes, bytes, kBlockSize);
    indexOf[block] = ++usedBlocks;
    return true;
}

std::uint32_t DirectoryCache::Hash(std::int32_t dir, const char* name, std::size_t length) const
{
    std::uint32_t h = 2166136261u ^ static_cast<std::uint32_t>(dir);
    h *= 16777619u;
    for (std::size_t i = 0; i < length; ++i) {
        h ^= ascii::Fold(static_cast<unsigned char>(name[i]));
        h *= 16777619u;
    }
    return h;
}

void DirectoryCache::IndexSlot(std::int32_t index, int slot)
{
    char name[kNameSize];
    const std::size_t length = StoredName(blocks[index].bytes + kEntrySize * slot, name);
    if (length == 0) return;
    const std::uint32_t h = Hash(blocks[index].directory, name, length);
    for (std::uint32_t at = h;; ++at) {
        Record& r = records[at & (kRecords - 1)];
        if (r.entry > 0) continue;
        if (r.entry == kEmpty) ++usedRecords;
        r.entry = index * kEntriesPerBlock + slot + 1;
        r.hash = h;
        break;
    }
    // Gone records fill the table too: it is built anew before it is full.
    if (usedRecords > kRecords / 4 * 3) Rehash();
}

void DirectoryCache::UnindexSlot(std::int32_t index, int slot)
{
    char name[kNameSize];
    const std::size_t length = StoredName(blocks[index].bytes + kEntrySize * slot, name);
    if (length == 0) return;
    const std::int32_t wanted = index * kEntriesPerBlock + slot + 1;
    for (std::uint32_t at = Hash(blocks[index].directory, name, length);; ++at) {
        Record& r = records[at & (kRecords - 1)];
        if (r.entry == kEmpty) return;
        if (r.entry == wanted) {
            r.entry = kGone;
            return;
        }
    }
}

void DirectoryCache::Rehash()
{
    std::memset(records, 0, sizeof(Record) * kRecords);
    usedRecords = 0;
    for (std::int32_t i = 0; i < usedBlocks; ++i) {
        if (blocks[i].directory < 0) continue;
        for (int slot = 0; slot < kEntriesPerBlock; ++slot) {
            char name[kNameSize];
            const std::size_t length = StoredName(blocks[i].bytes + kEntrySize * slot, name);
            if (length == 0) continue;
            const std::uint32_t h = Hash(blocks[i].directory, name, length);
            for (std::uint32_t at = h;; ++at) {
                Record& r = records[at & (kRecords - 1)];
                if (r.entry != kEmpty) continue;
                r.entry = i * kEntriesPerBlock + slot + 1;
                r.hash = h;
                ++usedRecords;
                break;
            }
        }
    }
}

void DirectoryCache::DropDirectory(std::int32_t dir)
{
    Directory& d = directories[dir];
    if (d.first < 0) return;
    for (std::int32_t index = indexOf[d.first] - 1; index >= 0;) {
        const std::int32_t next = blocks[index].next;
        for (int slot = 0; slot < kEntriesPerBlock; ++slot) UnindexSlot(index, slot);
        blocks[index].directory = -1;
        blocks[index].next = -1;
        index = next;
    }
    d.first = -1;
}

void DirectoryCache::Written(std::int64_t offset, const void* data, std::size_t size)
{
    if (!blocks || size == 0 || offset + static_cast<std::int64_t>(size) <= kDataOffset) return;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const std::int64_t end = offset + static_cast<std::int64_t>(size);
    for (std::int64_t at = offset < kDataOffset ? kDataOffset : offset; at < end;) {
        const std::int64_t block = (at - kDataOffset) / kBlockSize;
        const std::int64_t blockStart = kDataOffset + block * kBlockSize;
        const std::int64_t pieceEnd = end < blockStart + kBlockSize ? end : blockStart + kBlockSize;
        if (block < kMaxBlocks && indexOf[block] != 0) {
            const std::int32_t index = indexOf[block] - 1;
            Block& b = blocks[index];
            const int from = static_cast<int>(at - blockStart);
            const int to = static_cast<int>(pieceEnd - blockStart);
            const int firstSlot = from / kEntrySize;
            const int lastSlot = (to - 1) / kEntrySize;
            if (b.directory >= 0)
                for (int slot = firstSlot; slot <= lastSlot; ++slot) UnindexSlot(index, slot);
            std::memcpy(b.bytes + from, bytes + (at - offset), static_cast<std::size_t>(to - from));
            if (b.directory >= 0) {
                Directory& d = directories[b.directory];
                for (int slot = firstSlot; slot <= lastSlot; ++slot) {
                    IndexSlot(index, slot);
                    // A slot freed before the search's start moves it back.
                    if (b.bytes[kEntrySize * slot + DirEntry::kInUse] == 0 && b.position < blocks[d.freeFrom].position)
                        d.freeFrom = index;
                }
            }
        }
        at = pieceEnd;
    }
}

void DirectoryCache::TableChanged(std::int32_t block, std::int32_t before, std::int32_t after)
{
    if (!blocks || before == after || block < 0 || block >= kMaxBlocks || indexOf[block] == 0) return;
    const std::int32_t index = indexOf[block] - 1;
    const std::int32_t dir = blocks[index].directory;
    if (dir < 0) return;
    Directory& d = directories[dir];
    // The directory grows by a block that is cached and nobody's: the chain
    // goes on into it. Any other change to one of its links is forgotten.
    const std::int32_t added = after > 0 && after < kMaxBlocks ? indexOf[after] - 1 : -1;
    if (index == d.last && before == kEndOfChain && added >= 0 && blocks[added].directory < 0) {
        Block& a = blocks[added];
        a.directory = dir;
        a.position = blocks[index].position + 1;
        a.next = -1;
        blocks[index].next = added;
        d.last = added;
        for (int slot = 0; slot < kEntriesPerBlock; ++slot) IndexSlot(added, slot);
        return;
    }
    DropDirectory(dir);
}

std::int32_t DirectoryCache::FindDirectory(std::int32_t first) const
{
    if (!blocks || first < 0 || first >= kMaxBlocks || indexOf[first] == 0) return -1;
    const Block& b = blocks[indexOf[first] - 1];
    return b.directory >= 0 && b.position == 0 ? b.directory : -1;
}

std::int32_t DirectoryCache::AddDirectory(const std::int32_t* chain, std::int32_t count)
{
    if (!blocks || count < 1) return -1;
    std::int32_t dir = 0;
    while (dir < kDirectories && directories[dir].first >= 0) ++dir;
    if (dir == kDirectories) return -1;
    for (std::int32_t i = 0; i < count; ++i)
        if (indexOf[chain[i]] == 0 || blocks[indexOf[chain[i]] - 1].directory != -1) {
            // Not cached, another directory's, or twice in this chain: the
            // marks made so far go again.
            for (std::int32_t j = 0; j < i; ++j) blocks[indexOf[chain[j]] - 1].directory = -1;
            return -1;
        } else {
            blocks[indexOf[chain[i]] - 1].directory = dir;
        }
    for (std::int32_t i = 0; i < count; ++i) {
        const std::int32_t index = indexOf[chain[i]] - 1;
        blocks[index].position = i;
        blocks[index].next = i + 1 < count ? indexOf[chain[i + 1]] - 1 : -1;
        for (int slot = 0; slot < kEntriesPerBlock; ++slot) IndexSlot(index, slot);
    }
    directories[dir] = Directory{chain[0], indexOf[chain[count - 1]] - 1, indexOf[chain[0]] - 1};
    return dir;
}

int DirectoryCache::Lookup(std::int32_t dir, const char* name, std::uint8_t mask, std::int32_t& block, int& slot) const
{
    const std::uint32_t h = Hash(dir, name, std::strlen(name));
    std::int64_t best = -1;
    for (std::uint32_t at = h;; ++at) {
        const Record& r = records[at & (kRecords - 1)];
        if (r.entry == kEmpty) break;
        if (r.entry < 0 || r.hash != h) continue;
        const std::int32_t index = (r.entry - 1) / kEntriesPerBlock;
        const int s = (r.entry - 1) % kEntriesPerBlock;
        const Block& b = blocks[index];
        if (b.directory != dir) continue;
        const std::uint8_t* entry = b.bytes + kEntrySize * s;
        char stored[kNameSize];
        StoredName(entry, stored);
        if (entry[DirEntry::kInUse] != 1 || !(entry[DirEntry::kType] & mask) || !ascii::EqualIgnoringCase(stored, name))
            continue;
        const std::int64_t position = static_cast<std::int64_t>(b.position) * kEntriesPerBlock + s;
        if (best < 0 || position < best) {
            best = position;
            block = b.block;
            slot = s;
        }
    }
    return best >= 0 ? 1 : 0;
}

int DirectoryCache::FirstFree(std::int32_t dir, std::int32_t& block, int& slot, std::int32_t& lastBlock)
{
    Directory& d = directories[dir];
    for (std::int32_t index = d.freeFrom; index >= 0; index = blocks[index].next) {
        for (int s = 0; s < kEntriesPerBlock; ++s) {
            if (blocks[index].bytes[kEntrySize * s + DirEntry::kInUse] != 0) continue;
            d.freeFrom = index;
            block = blocks[index].block;
            slot = s;
            return 1;
        }
    }
    d.freeFrom = d.last;
    lastBlock = blocks[d.last].block;
    return 0;
}

}  // namespace pack
