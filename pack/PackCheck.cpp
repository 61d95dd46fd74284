// The pack checker: walks the stored tree from the root, claims every chain's
// blocks, and reports what breaks the layout's rules.
#include "pack/PackCheck.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstring>
#include <unordered_set>

#include "pack/PackFormat.h"
#include "pack/PackText.h"
#include "platform/AsciiCase.h"
#include "platform/Disk.h"

namespace pack {

namespace {

constexpr std::int32_t kNoChain = -1;

std::int32_t checkedTable[kMaxBlocks];
// Paths in messages are cut to about this many characters (a tree can be as
// deep as the pack has blocks).
constexpr std::size_t kMaxPathText = 400;

// A chain that holds blocks: the root, a directory or a file.
struct Chain {
    std::int32_t parent;  // the directory that lists it; -1 for the root
    std::int32_t first;
    std::int32_t length;  // blocks claimed, in chain order from first
    bool directory;
    std::string name;
};

struct Claim {
    std::int32_t length;
    bool whole;  // the chain ended in 0 without a fault
};

// Where a problem lies: a directory, or an entry in it (by name, or by block
// and slot when the name is unusable).
struct Place {
    std::int32_t dir;
    const char* name = nullptr;
    std::int32_t block = -1;
    int slot = -1;
};

class Checker {
public:
    Checker(std::FILE* host, CheckResult& result) : host(host), result(result) {}

    void Run()
    {
        if (!LoadHeaderAndTable()) return;
        result.readable = true;
        CheckTableTail();

        owner.assign(static_cast<std::size_t>(blocks), kNoChain);
        chains.push_back(Chain{-1, 0, 0, true, std::string()});
        if (table[0] == kFreeBlock) {
            // The engine reads the root's first block whatever the table says
            // of it, and so does the check; its chain then ends there.
            Note("table", "entry 0 is free, but block 0 holds the root");
            result.rootEntryFree = true;
            owner[0] = 0;
            chains[0].length = 1;
        } else {
            const Claim root = ClaimChain(0, Place{0}, false);
            chains[0].length = root.length;
            if (root.length == 0) {
                owner[0] = 0;
                chains[0].length = 1;
            }
        }

        // Directories are read in the order they are found; each is queued
        // once, when its first block is claimed.
        std::vector<std::int32_t> pending{0};
        for (std::size_t i = 0; i < pending.size(); ++i) CheckDirectory(pending[i], pending);

        for (std::int32_t b = 0; b < blocks; ++b) {
            if (table[static_cast<std::size_t>(b)] == kFreeBlock) continue;
            ++result.usedBlocks;
            if (owner[static_cast<std::size_t>(b)] == kNoChain) result.lostBlocks.push_back(b);
        }
        for (std::vector<std::int32_t>* list :
             {&result.damagedDirectories, &result.sharedBlocks, &result.namedFreeBlocks}) {
            std::sort(list->begin(), list->end());
            list->erase(std::unique(list->begin(), list->end()), list->end());
        }
    }

private:
    bool ReadAt(long offset, void* buffer, std::size_t size)
    {
        if (SeekDiskFile(host, offset, SEEK_SET) == 0 && ReadDiskFile(buffer, size, 1, host) == 1) return true;
        result.readFailed = true;
        return false;
    }

    bool Listing() const { return result.problems.size() < kMaxListedProblems; }

    void Add(const std::string& where, const char* format, std::va_list args)
    {
        ++result.problemCount;
        if (!Listing()) return;
        char text[512];
        std::vsnprintf(text, sizeof text, format, args);
        result.problems.push_back(where + ": " + text);
    }

    // A problem of the file as a whole: where is "header", "table", ...
    void Note(const char* where, const char* format, ...)
    {
        std::va_list args;
        va_start(args, format);
        Add(where, format, args);
        va_end(args);
    }

    void Report(const Place& place, const char* format, ...)
    {
        std::va_list args;
        va_start(args, format);
        Add(Listing() ? PlaceText(place) : std::string(), format, args);
        va_end(args);
    }

    std::string PathOf(std::int32_t chain) const
    {
        if (chain <= 0) return "Z:\\";
        std::vector<std::int32_t> line;
        std::size_t length = 0;
        bool cut = false;
        // A parent is always recorded before its children, so this ends.
        for (std::int32_t c = chain; c > 0; c = chains[static_cast<std::size_t>(c)].parent) {
            if (length > kMaxPathText) {
                cut = true;
                break;
            }
            line.push_back(c);
            length += chains[static_cast<std::size_t>(c)].name.size() + 1;
        }
        std::string path = cut ? "...\\" : "Z:\\";
        for (std::size_t i = line.size(); i-- > 0;) {
            path += chains[static_cast<std::size_t>(line[i])].name;
            if (i > 0) path += '\\';
        }
        return path;
    }

    std::string PlaceText(const Place& place) const
    {
        std::string text = PathOf(place.dir);
        if (place.name) {
            if (place.dir > 0) text += '\\';
            text += place.name;
        } else if (place.block >= 0) {
            text += " block " + std::to_string(place.block) + " slot " + std::to_string(place.slot);
        }
        return text;
    }

    bool LoadHeaderAndTable()
    {
        std::uint8_t header[kHeaderImageSize];
        if (!ReadAt(0, header, sizeof header)) {
            Note("header", "cannot be read");
            return false;
        }
        const void* end = std::memchr(header, 0, sizeof header);
        if (end != header + kBannerLength || std::memcmp(header, kBanner, kBannerLength) != 0) {
            Note("header", "banner is not \"Pen Dix File Manager!\\n\"");
            return false;
        }
        const std::uint32_t sectors = LoadU32(header + kTableSectorsOffset);
        if (sectors != kTableSectors) {
            Note("header", "table length is %u sectors, not 1000", static_cast<unsigned>(sectors));
            return false;
        }
        // The stored entries are read in place and then made numbers, each
        // from its own four bytes.
        if (!ReadAt(kTableOffset, table, kTableBytes)) {
            Note("table", "cannot be read");
            return false;
        }
        if constexpr (std::endian::native != std::endian::little) {
            for (std::size_t b = 0; b < kMaxBlocks; ++b) {
                std::uint8_t stored[4];
                std::memcpy(stored, &table[b], 4);
                table[b] = static_cast<std::int32_t>(LoadU32(stored));
            }
        }

        const long length = SeekDiskFile(host, 0, SEEK_END) == 0 ? TellDiskFile(host) : -1;
        if (length < 0) {
            result.readFailed = true;
            Note("data area", "cannot be read");
            return false;
        }
        if (length < kNewPackSize) {
            Note("data area", "holds no whole block");
            return false;
        }
        const long whole = (length - kDataOffset) / kBlockSize;
        blocks = whole < kMaxBlocks ? static_cast<std::int32_t>(whole) : kMaxBlocks;
        result.blockCount = blocks;
        if (whole > kMaxBlocks) Note("data area", "holds %ld blocks, more than %d", whole, kMaxBlocks);

        DirEntry root;
        if (!ReadAt(kDataOffset, root.bytes, kEntrySize)) {
            Note("root", "cannot be read");
            return false;
        }
        root.TerminateName();
        if (root.InUse() == 0 || std::strcmp(root.Name(), ".") != 0 || root.FirstBlock() != 0 || root.Size() != 0 ||
            root.Type() != kTypeDirectory) {
            Note("root", "block 0 slot 0 is not the root's \".\" entry");
            return false;
        }
        return true;
    }

    // Entries for blocks past the data area must be free. Runs of free
    // entries are passed over a thousand at a time.
    void CheckTableTail()
    {
        static const std::vector<std::int32_t> freeRun(1000, kFreeBlock);
        const std::size_t runBytes = freeRun.size() * sizeof(std::int32_t);
        for (std::int32_t b = blocks; b < kMaxBlocks;) {
            if (b + 1000 <= kMaxBlocks &&
                std::memcmp(&table[static_cast<std::size_t>(b)], freeRun.data(), runBytes) == 0) {
                b += 1000;
                continue;
            }
            if (table[static_cast<std::size_t>(b)] == kFreeBlock) {
                ++b;
                continue;
            }
            std::int32_t last = b;
            while (last + 1 < kMaxBlocks && table[static_cast<std::size_t>(last) + 1] != kFreeBlock) ++last;
            Note("table", "entries for blocks %d-%d, past the data area, are not free", b, last);
            b = last + 1;
        }
    }

    // Follows the chain of chain from its first block and makes each block its
    // own, stopping at the first fault. A chain marked contiguous whose links
    // are whole but not consecutive is reported too.
    Claim ClaimChain(std::int32_t chain, const Place& place, bool contiguous)
    {
        std::int32_t block = chains[static_cast<std::size_t>(chain)].first;
        std::int32_t previous = -1;
        std::int32_t length = 0;
        std::int32_t gapFrom = -1;  // the first link that is not to the next block
        for (;;) {
            if (block < 0 || block >= blocks) {
                MarkDamaged(chain);
                // A block the data area may yet grow by is named already.
                if (block >= blocks && block < kMaxBlocks) result.namedFreeBlocks.push_back(block);
                if (previous < 0)
                    Report(place, "first block %d is outside the data area", block);
                else
                    Report(place, "block %d links to %d, outside the data area", previous, block);
                return Claim{length, false};
            }
            const std::int32_t next = table[static_cast<std::size_t>(block)];
            if (next == kFreeBlock) {
                MarkDamaged(chain);
                result.namedFreeBlocks.push_back(block);
                if (previous < 0)
                    Report(place, "first block %d is free", block);
                else
                    Report(place, "block %d links to free block %d", previous, block);
                return Claim{length, false};
            }
            const std::int32_t holder = owner[static_cast<std::size_t>(block)];
            if (holder == chain) {
                MarkDamaged(chain);
                Report(place, "chain loops: block %d links back to block %d", previous, block);
                return Claim{length, false};
            }
            if (holder != kNoChain) {
                MarkDamaged(chain);
                MarkDamaged(holder);
                result.sharedBlocks.push_back(block);
                Report(place, "cross-linked with %s at block %d", Listing() ? PathOf(holder).c_str() : "", block);
                return Claim{length, false};
            }
            owner[static_cast<std::size_t>(block)] = chain;
            ++length;
            if (next == kEndOfChain) {
                if (contiguous && gapFrom >= 0)
                    Report(place, "marked contiguous, but block %d links to %d", gapFrom,
                           table[static_cast<std::size_t>(gapFrom)]);
                return Claim{length, true};
            }
            if (gapFrom < 0 && next != block + 1) gapFrom = block;
            previous = block;
            block = next;
        }
    }

    // A directory chain that breaks a rule is no place for new entries.
    void MarkDamaged(std::int32_t chain)
    {
        const Chain& c = chains[static_cast<std::size_t>(chain)];
        if (c.directory) result.damagedDirectories.push_back(c.first);
    }

    bool IsAncestor(std::int32_t chain, std::int32_t dir) const
    {
        for (std::int32_t c = dir; c >= 0; c = chains[static_cast<std::size_t>(c)].parent)
            if (c == chain) return true;
        return false;
    }

    void CheckDirectory(std::int32_t dir, std::vector<std::int32_t>& pending)
    {
        // Entries push new chains, so the directory's own fields are copied.
        const Chain self = chains[static_cast<std::size_t>(dir)];
        const std::int32_t parentFirst = self.parent >= 0 ? chains[static_cast<std::size_t>(self.parent)].first : -1;
        std::unordered_set<std::string> names;
        std::int32_t block = self.first;
        for (std::int32_t i = 0; i < self.length; ++i) {
            std::uint8_t bytes[kBlockSize];
            if (!ReadAt(BlockOffset(block), bytes, sizeof bytes)) {
                Report(Place{dir}, "block %d cannot be read", block);
                return;
            }
            for (int slot = 0; slot < kEntriesPerBlock; ++slot) {
                DirEntry entry;
                std::memcpy(entry.bytes, bytes + kEntrySize * slot, kEntrySize);
                const Place at{dir, nullptr, block, slot};
                bool dotEntry = false;
                if (i == 0 && slot == 0) dotEntry = CheckDotEntry(at, entry, ".", self.first);
                if (i == 0 && slot == 1 && dir != 0) dotEntry = CheckDotEntry(at, entry, "..", parentFirst);
                if (!dotEntry && entry.InUse() != 0) CheckEntry(at, entry, names, pending);
            }
            block = table[static_cast<std::size_t>(block)];
        }
    }

    // Whether the slot holds the named entry; its faults are reported.
    bool CheckDotEntry(const Place& at, const DirEntry& entry, const char* name, std::int32_t expected)
    {
        if (entry.InUse() == 0 || std::memcmp(entry.bytes + DirEntry::kName, name, std::strlen(name) + 1) != 0) {
            Report(Place{at.dir}, "no \"%s\" entry in slot %d", name, at.slot);
            return false;
        }
        if (entry.InUse() != 1) Report(Place{at.dir}, "\"%s\" has in-use byte %u", name, entry.InUse());
        if (entry.Type() != kTypeDirectory || entry.Size() != 0)
            Report(Place{at.dir}, "\"%s\" has type %u and size %u, not a directory's", name, entry.Type(),
                   static_cast<unsigned>(entry.Size()));
        if (entry.FirstBlock() != expected)
            Report(Place{at.dir}, "\"%s\" names block %d, not %d", name, entry.FirstBlock(), expected);
        return true;
    }

    void CheckEntry(Place at, const DirEntry& entry, std::unordered_set<std::string>& names,
                    std::vector<std::int32_t>& pending)
    {
        // An entry without a usable name still holds its chain; it is named
        // by its place in messages.
        const char* stored = reinterpret_cast<const char*>(entry.bytes + DirEntry::kName);
        const std::size_t nameLength = strnlen(stored, kNameSize);
        std::string name;
        if (nameLength == kNameSize) {
            Report(at, "name is not terminated");
        } else if (nameLength == 0) {
            Report(at, "name is empty");
        } else {
            name.assign(stored, nameLength);
            // "." and ".." elsewhere name directories held by others.
            if (name == "." || name == "..") {
                Report(at, "\"%s\" out of place", name.c_str());
                return;
            }
            at.name = name.c_str();
            if (name.find('\\') != std::string::npos) Report(at, "name holds a backslash");
            if (!names.insert(ascii::Folded(name)).second)
                Report(at, "name appears more than once in its directory (ignoring case)");
        }
        if (entry.InUse() != 1) Report(at, "in-use byte is %u", entry.InUse());
        const std::string chainName =
            at.name ? name : "(block " + std::to_string(at.block) + " slot " + std::to_string(at.slot) + ")";

        const std::uint8_t type = entry.Type();
        const std::int32_t first = entry.FirstBlock();
        if (type == kTypeDirectory) {
            if (entry.Size() != 0) Report(at, "directory has size %u", static_cast<unsigned>(entry.Size()));
            CheckSubdirectory(at, chainName, first, pending);
            return;
        }

        // Anything that is not a directory is held as a file, so that no
        // block it names is taken for lost.
        if (type != kTypeFile) Report(at, "type byte is %u", type);
        const std::uint8_t contiguous = entry.Contiguous();
        if (contiguous > 1) Report(at, "contiguous byte is %u", contiguous);
        Claim claim{0, true};
        if (first != 0) {
            chains.push_back(Chain{at.dir, first, 0, false, chainName});
            const std::int32_t chain = static_cast<std::int32_t>(chains.size() - 1);
            claim = ClaimChain(chain, at, contiguous != 0);
            if (claim.length == 0)
                chains.pop_back();
            else
                chains.back().length = claim.length;
        }
        if (type != kTypeFile || !claim.whole) return;
        const std::uint64_t needed = (static_cast<std::uint64_t>(entry.Size()) + kBlockSize - 1) / kBlockSize;
        if (needed != static_cast<std::uint64_t>(claim.length))
            Report(at, "size %u needs %u blocks, but the chain has %d", static_cast<unsigned>(entry.Size()),
                   static_cast<unsigned>(needed), claim.length);
    }

    void CheckSubdirectory(const Place& at, const std::string& name, std::int32_t first,
                           std::vector<std::int32_t>& pending)
    {
        if (first >= 0 && first < blocks) {
            const std::int32_t holder = owner[static_cast<std::size_t>(first)];
            if (holder != kNoChain && chains[static_cast<std::size_t>(holder)].directory &&
                chains[static_cast<std::size_t>(holder)].first == first) {
                if (IsAncestor(holder, at.dir))
                    Report(at, "directory contains itself: it is %s", Listing() ? PathOf(holder).c_str() : "");
                else
                    Report(at, "directory reached twice: it is also %s", Listing() ? PathOf(holder).c_str() : "");
                return;
            }
        }
        chains.push_back(Chain{at.dir, first, 0, true, name});
        const std::int32_t chain = static_cast<std::int32_t>(chains.size() - 1);
        const Claim claim = ClaimChain(chain, at, false);
        if (claim.length == 0) {
            chains.pop_back();
            return;
        }
        chains.back().length = claim.length;
        pending.push_back(chain);
    }

    std::FILE* host;
    CheckResult& result;
    std::int32_t blocks = 0;
    // The stored table, read in place: the checker's one large buffer, kept
    // from check to check.
    std::int32_t* const table = checkedTable;
    std::vector<std::int32_t> owner;  // per block: the chain that holds it
    std::vector<Chain> chains;
};

}  // namespace

CheckResult CheckPack(std::FILE* host)
{
    CheckResult result;
    Checker(host, result).Run();
    return result;
}

CheckResult CheckPackFile(const char* path)
{
    std::FILE* host = OpenDiskFile(path, "rb");
    if (!host) {
        CheckResult result;
        result.problemCount = 1;
        result.problems.push_back(std::string(path) + ": cannot be opened");
        return result;
    }
    CheckResult result = CheckPack(host);
    CloseDiskFile(host);
    return result;
}

}  // namespace pack
