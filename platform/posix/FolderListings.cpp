// Folder listings kept between lookups of names in any letter case (FolderListings.h).
//
// A listing holds a folder's names in one block of text, each followed by a
// zero byte, and an open-addressed table of their places by the hash of the
// name folded to lower case: a name costs its bytes and 16 to 32 bytes of
// table, and is found in any letter case in the time a folder of ten takes.
//
// A listing is trusted while the folder's stamp is what it was when the
// listing was read or when this process last changed the folder. A folder
// changed within the same tick of the clock as it was read may change again
// in that tick without its times changing (where a file system keeps coarse
// times), so such a listing is read again at its next use, until it is read
// with its folder's last change in an earlier tick. Linux since 6.13 gives a
// folder changed after its times were read a later change time even within
// a tick (on ext4, xfs, btrfs and tmpfs), so there a listing sees every
// change. A change another program makes between this process's lookup of a
// name and its own change of the folder (microseconds) is taken with the
// process's own change, as a look through the folder would have missed it.
#include "platform/posix/FolderListings.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <string>
#include <vector>

#include "platform/AsciiCase.h"

namespace {

// What a folder looked like: where it is, and what changes with any name
// made, removed or renamed in it.
struct Stamp {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    timespec modified{};
    off_t size = 0;
    nlink_t links = 0;
};

Stamp StampOf(const struct stat& st)
{
    return Stamp{st.st_dev, st.st_ino, st.st_ctim, st.st_mtim, st.st_size, st.st_nlink};
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

bool Same(const Stamp& a, const Stamp& b)
{
    return a.device == b.device && a.inode == b.inode && SameTime(a.changed, b.changed) &&
           SameTime(a.modified, b.modified) && a.size == b.size && a.links == b.links;
}

bool Earlier(const timespec& a, const timespec& b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

std::uint32_t FoldedHash(const char* name, std::size_t length)
{
    std::uint32_t hash = 2166136261u;
    for (std::size_t i = 0; i < length; ++i)
        hash = (hash ^ ascii::Fold(static_cast<unsigned char>(name[i]))) * 16777619u;
    return hash;
}

// A folder's names.
class Names {
public:
    // The name equal to name ignoring case: name itself when held as
    // written, else the least such in byte order; null when none is.
    const char* Find(const char* name, std::size_t length, bool* exact) const
    {
        *exact = false;
        if (slots_.empty()) return nullptr;
        const std::uint32_t hash = FoldedHash(name, length);
        const char* best = nullptr;
        for (std::size_t i = hash & Mask(); slots_[i].at != kEmpty; i = (i + 1) & Mask()) {
            const Slot& slot = slots_[i];
            if (slot.at == kRemoved || slot.hash != hash) continue;
            const char* held = text_.data() + slot.at - 1;
            if (held[length] != 0 || !ascii::EqualIgnoringCase({held, length}, {name, length})) continue;
            if (std::memcmp(held, name, length) == 0) {
                *exact = true;
                return held;
            }
            if (!best || std::strcmp(held, best) < 0) best = held;
        }
        return best;
    }

    void Add(const char* name, std::size_t length)
    {
        bool exact = false;
        if (Find(name, length, &exact) && exact) return;
        if ((live_ + removed_ + 1) * 2 > slots_.size()) Rebuild(live_ + 1);
        Place(name, length, FoldedHash(name, length));
    }

    void Remove(const char* name, std::size_t length)
    {
        if (slots_.empty()) return;
        const std::uint32_t hash = FoldedHash(name, length);
        for (std::size_t i = hash & Mask(); slots_[i].at != kEmpty; i = (i + 1) & Mask()) {
            Slot& slot = slots_[i];
            if (slot.at == kRemoved || slot.hash != hash) continue;
            const char* held = text_.data() + slot.at - 1;
            if (held[length] != 0 || std::memcmp(held, name, length) != 0) continue;
            slot.at = kRemoved;
            --live_;
            ++removed_;
            return;
        }
    }

    void Clear()
    {
        text_.clear();
        slots_.clear();
        live_ = removed_ = 0;
    }

    std::size_t Memory() const { return text_.capacity() + slots_.capacity() * sizeof(Slot); }

private:
    struct Slot {
        std::uint32_t at;  // 1 + the name's offset in text_; kEmpty, kRemoved
        std::uint32_t hash;
    };
    static constexpr std::uint32_t kEmpty = 0;
    static constexpr std::uint32_t kRemoved = UINT32_MAX;

    std::size_t Mask() const { return slots_.size() - 1; }

    void Place(const char* name, std::size_t length, std::uint32_t hash)
    {
        std::size_t i = hash & Mask();
        while (slots_[i].at != kEmpty && slots_[i].at != kRemoved) i = (i + 1) & Mask();
        if (slots_[i].at == kRemoved) --removed_;
        slots_[i] = Slot{static_cast<std::uint32_t>(text_.size() + 1), hash};
        text_.append(name, length);
        text_.push_back(0);
        ++live_;
    }

    // Room for names names at a table at most half full, the removed ones
    // left behind.
    void Rebuild(std::size_t names)
    {
        std::size_t size = 16;
        while (size < names * 4) size *= 2;
        std::string text;
        text.swap(text_);
        std::vector<Slot> slots(size, Slot{kEmpty, 0});
        slots.swap(slots_);
        live_ = removed_ = 0;
        for (const Slot& slot : slots)
            if (slot.at != kEmpty && slot.at != kRemoved) {
                const char* held = text.data() + slot.at - 1;
                Place(held, std::strlen(held), slot.hash);
            }
    }

    std::string text_;
    std::vector<Slot> slots_;
    std::size_t live_ = 0;
    std::size_t removed_ = 0;
};

struct Listing {
    std::string folder;
    Stamp stamp;
    // Read with the folder's last change in an earlier tick of the clock, or
    // last changed by this process: trusted while the stamp holds.
    bool settled = false;
    std::uint64_t used = 0;
    Names names;
};

constexpr std::size_t kMostListings = 16;
constexpr std::size_t kMemoryBound = 4u << 20;

std::vector<Listing> listings;
std::uint64_t uses = 0;

Listing* ListingOf(const char* folder, std::size_t length)
{
    for (Listing& l : listings)
        if (l.folder.size() == length && std::memcmp(l.folder.data(), folder, length) == 0) return &l;
    return nullptr;
}

void Drop(Listing* listing)
{
    const std::size_t at = static_cast<std::size_t>(listing - listings.data());
    if (at + 1 != listings.size()) listings[at] = std::move(listings.back());
    listings.pop_back();
}

// The least recently used listing but keep.
Listing* Oldest(const Listing* keep)
{
    Listing* oldest = nullptr;
    for (Listing& l : listings)
        if (&l != keep && (!oldest || l.used < oldest->used)) oldest = &l;
    return oldest;
}

// A new listing of folder, in place of the oldest when there are as many as
// are kept.
Listing* NewListing(const char* folder, std::size_t length)
{
    // Never moved by growing: a listing found stays where it is until one is
    // dropped.
    listings.reserve(kMostListings);
    if (listings.size() == kMostListings) Drop(Oldest(nullptr));
    listings.emplace_back();
    listings.back().folder.assign(folder, length);
    return &listings.back();
}

// Drops the least recently used listings but keep while they take more
// memory than the bound allows.
void Bound(Listing*& keep)
{
    for (;;) {
        std::size_t memory = 0;
        for (const Listing& l : listings) memory += l.names.Memory() + l.folder.capacity();
        Listing* oldest = Oldest(keep);
        if (memory <= kMemoryBound || !oldest) return;
        const bool keepMoves = keep == &listings.back();
        Drop(oldest);
        if (keepMoves) keep = oldest;
    }
}

// Reads the folder at the host path folder ("" for the root) into listing.
bool Read(Listing& listing, const char* folder)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME_COARSE, &now);
    DIR* d = opendir(folder[0] ? folder : "/");
    if (!d) return false;
    struct stat st {};
    if (fstat(dirfd(d), &st) != 0) {
        closedir(d);
        return false;
    }
    listing.names.Clear();
    while (const dirent* e = readdir(d)) {
        const char* name = e->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0))) continue;
        listing.names.Add(name, std::strlen(name));
    }
    closedir(d);
    listing.stamp = StampOf(st);
    listing.settled = Earlier(st.st_ctim, now);
    return true;
}

// The folder part of a host path and the name after it (trailing slashes
// left out): false when there is no name.
bool Split(const char* path, std::size_t* folderLength, const char** name, std::size_t* nameLength)
{
    std::size_t end = std::strlen(path);
    while (end > 0 && path[end - 1] == '/') --end;
    std::size_t slash = end;
    while (slash > 0 && path[slash - 1] != '/') --slash;
    if (slash == 0 || slash == end) return false;
    *folderLength = slash - 1;
    *name = path + slash;
    *nameLength = end - slash;
    return true;
}

// Takes the folder's stamp after this process changed it. The listing is
// dropped when its path no longer leads to the folder it lists (a folder on
// the path renamed, a link made to lead elsewhere) or to anything.
void Restamp(Listing* listing)
{
    struct stat st {};
    if (stat(listing->folder.empty() ? "/" : listing->folder.c_str(), &st) != 0 || st.st_dev != listing->stamp.device ||
        st.st_ino != listing->stamp.inode) {
        Drop(listing);
        return;
    }
    listing->stamp = StampOf(st);
    listing->settled = true;
}

enum class Change {
    kMade,
    kGone
};

// Applies a change to the listing of the folder path lies in, if there is
// one; the listing, to restamp.
Listing* Apply(const char* path, Change change)
{
    std::size_t folderLength = 0;
    const char* name = nullptr;
    std::size_t length = 0;
    if (!Split(path, &folderLength, &name, &length)) return nullptr;
    Listing* listing = ListingOf(path, folderLength);
    if (!listing) return nullptr;
    if (change == Change::kMade)
        listing->names.Add(name, length);
    else
        listing->names.Remove(name, length);
    return listing;
}

}  // namespace

HostName FindHostName(char* path, std::size_t folderLength, std::size_t length, const struct stat* folderNow)
{
    char* const name = path + folderLength + 1;
    Listing* listing = ListingOf(path, folderLength);
    struct stat st {};
    if (!listing && !folderNow && lstat(path, &st) == 0) return HostName::kAsWritten;
    if (listing && !folderNow) {
        path[folderLength] = 0;
        const bool there = stat(folderLength ? path : "/", &st) == 0;
        path[folderLength] = '/';
        if (!there) {
            Drop(listing);
            return HostName::kUnknown;
        }
        folderNow = &st;
    }
    if (!listing || !listing->settled || !Same(listing->stamp, StampOf(*folderNow))) {
        if (!listing) listing = NewListing(path, folderLength);
        path[folderLength] = 0;
        const bool read = Read(*listing, path);
        path[folderLength] = '/';
        if (!read) {
            // A folder that can be searched but not read still holds what
            // is named as written.
            Drop(listing);
            return lstat(path, &st) == 0 ? HostName::kAsWritten : HostName::kUnknown;
        }
        Bound(listing);
    }
    listing->used = ++uses;
    bool exact = false;
    const char* found = listing->names.Find(name, length, &exact);
    if (!found) return HostName::kNone;
    if (exact) return HostName::kAsWritten;
    std::memcpy(name, found, length);
    return HostName::kFolded;
}

bool HostFolderListedAs(const char* folder, std::size_t length, const struct stat& now)
{
    const Listing* listing = ListingOf(folder, length);
    return listing && listing->settled && Same(listing->stamp, StampOf(now));
}

void NoteHostNameMade(const char* path)
{
    if (Listing* listing = Apply(path, Change::kMade)) Restamp(listing);
}

void NoteHostNameGone(const char* path)
{
    if (Listing* listing = Apply(path, Change::kGone)) Restamp(listing);
}

void NoteHostNameMoved(const char* from, const char* to)
{
    Listing* gone = Apply(from, Change::kGone);
    Listing* made = Apply(to, Change::kMade);
    if (gone && gone != made) Restamp(gone);
    // The first restamp may have dropped a listing and moved the last one.
    if (made) {
        std::size_t folderLength = 0;
        const char* name = nullptr;
        std::size_t length = 0;
        if (Split(to, &folderLength, &name, &length) && (made = ListingOf(to, folderLength))) Restamp(made);
    }
}

void ForgetHostFolder(const char* folder, std::size_t length)
{
    while (length > 0 && folder[length - 1] == '/') --length;
    if (Listing* listing = ListingOf(folder, length)) Drop(listing);
}
