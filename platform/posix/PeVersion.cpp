// A PE file's version resource on Linux (PeVersion.h, and Win32.h's calls).
//
// GetFileVersionInfoSizeA, GetFileVersionInfoA and VerQueryValueA of
// platform/Win32.h, read from the executable's PE version resource.
#include "platform/posix/PeVersion.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/AsciiCase.h"
#include "platform/Disk.h"
#include "platform/Win32.h"

namespace peversion {
namespace {

std::uint16_t Word(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

std::uint32_t Dword(const std::uint8_t* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutDword(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// ---- The PE file ----------------------------------------------------------

// Random access to a file's bytes; Read fails for any byte past the end.
class ByteSource {
public:
    virtual bool Read(std::uint64_t offset, void* out, std::size_t count) = 0;

protected:
    ~ByteSource() = default;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}
    bool Read(std::uint64_t offset, void* out, std::size_t count) override
    {
        if (offset > size_ || count > size_ - offset) return false;
        if (count) std::memcpy(out, bytes_ + offset, count);
        return true;
    }

private:
    const std::uint8_t* bytes_;
    std::size_t size_;
};

// A regular file, read piece by piece: executables can be large, and only
// their headers and the version resource are wanted.
class FileSource final : public ByteSource {
public:
    explicit FileSource(std::FILE* file) : file_(file)
    {
        struct stat st {};
        if (fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
            size_ = static_cast<std::uint64_t>(st.st_size);
    }
    bool Read(std::uint64_t offset, void* out, std::size_t count) override
    {
        if (offset > size_ || count > size_ - offset) return false;
        if (count == 0) return true;
        return fseeko(file_, static_cast<off_t>(offset), SEEK_SET) == 0 && std::fread(out, 1, count, file_) == count;
    }

private:
    std::FILE* file_;
    std::uint64_t size_ = 0;
};

constexpr std::uint16_t kPe32 = 0x10b;
constexpr std::uint16_t kPe32Plus = 0x20b;
constexpr std::uint32_t kResourceDirectory = 2;  // index in the data directories
constexpr std::uint32_t kRtVersion = 16;
constexpr std::uint32_t kSubdirectory = 0x80000000u;
constexpr std::size_t kSectionHeader = 40;

// The image as its section table maps it.
class Image {
public:
    explicit Image(ByteSource& file) : file_(file) {}

    bool Open()
    {
        std::uint8_t dos[64];
        if (!file_.Read(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
        const std::uint64_t pe = Dword(dos + 0x3c);
        std::uint8_t coff[24];  // signature and COFF file header
        if (!file_.Read(pe, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0) return false;
        const std::size_t sections = Word(coff + 6);
        const std::size_t optionalSize = Word(coff + 20);
        const std::uint64_t optional = pe + sizeof coff;

        std::uint8_t magic[2];
        if (!file_.Read(optional, magic, sizeof magic)) return false;
        std::size_t directories;  // offset of the data directories in the optional header
        switch (Word(magic)) {
        case kPe32: directories = 96; break;
        case kPe32Plus: directories = 112; break;
        default: return false;
        }
        const std::size_t entryEnd = directories + (kResourceDirectory + 1) * 8;
        if (optionalSize < entryEnd) return false;
        std::uint8_t count[4];
        std::uint8_t entry[8];
        if (!file_.Read(optional + directories - 4, count, sizeof count) || Dword(count) <= kResourceDirectory ||
            !file_.Read(optional + directories + kResourceDirectory * 8, entry, sizeof entry))
            return false;
        resourceRva_ = Dword(entry);
        if (resourceRva_ == 0) return false;  // no resources

        // Checked against the file before allocating, so that a bogus count
        // costs nothing.
        std::uint8_t probe[1];
        const std::uint64_t table = optional + optionalSize;
        if (sections == 0 || !file_.Read(table + sections * kSectionHeader - 1, probe, 1)) return false;
        sections_.resize(sections * kSectionHeader);
        return file_.Read(table, sections_.data(), sections_.size());
    }

    // Reads count bytes at rva. They must all lie in the part of one section
    // that the file holds.
    bool ReadRva(std::uint64_t rva, void* out, std::size_t count)
    {
        for (std::size_t at = 0; at < sections_.size(); at += kSectionHeader) {
            const std::uint8_t* s = sections_.data() + at;
            const std::uint32_t virtualSize = Dword(s + 8);
            const std::uint32_t address = Dword(s + 12);
            const std::uint32_t rawSize = Dword(s + 16);
            const std::uint32_t rawOffset = Dword(s + 20);
            const std::uint64_t extent = virtualSize ? std::min(virtualSize, rawSize) : rawSize;
            if (rva < address || rva - address >= extent) continue;
            if (count > extent - (rva - address)) return false;
            return file_.Read(std::uint64_t{rawOffset} + (rva - address), out, count);
        }
        return false;
    }

    // Reads in the resource tree, whose offsets count from its root directory.
    bool ReadResource(std::uint64_t offset, void* out, std::size_t count)
    {
        return ReadRva(resourceRva_ + offset, out, count);
    }

private:
    ByteSource& file_;
    std::uint32_t resourceRva_ = 0;
    std::vector<std::uint8_t> sections_;
};

constexpr std::int64_t kFirstEntry = -1;

// The target (subdirectory or data entry) of an entry of the resource
// directory at offset dir: the first ID entry with the given id, or the very
// first entry for kFirstEntry. The count of entries is the directory's own;
// each entry read is bounds-checked, so a bogus count ends at the section end.
bool FindEntry(Image& image, std::uint32_t dir, std::int64_t id, std::uint32_t* target)
{
    std::uint8_t header[16];
    if (!image.ReadResource(dir, header, sizeof header)) return false;
    const std::size_t entries = std::size_t{Word(header + 12)} + Word(header + 14);
    for (std::size_t i = 0; i < entries; ++i) {
        std::uint8_t entry[8];
        if (!image.ReadResource(std::uint64_t{dir} + sizeof header + 8 * i, entry, sizeof entry)) return false;
        if (id == kFirstEntry || Dword(entry) == id) {
            *target = Dword(entry + 4);
            return true;
        }
    }
    return false;
}

// ---- VS_VERSIONINFO -------------------------------------------------------

constexpr std::size_t kNodeHeader = 6;  // wLength, wValueLength, wType

// One node: wLength, wValueLength, wType, the zero-terminated UTF-16 key,
// padding to 32 bits, the value, padding, the children. Offsets count from the
// start of the resource, whose 32-bit alignment the padding refers to.
struct Node {
    std::size_t end;         // one past its last byte
    std::size_t key;         // first unit of the key
    std::size_t keyUnits;    // without the terminator
    std::size_t value;       // first byte of the value
    std::size_t valueBytes;  // as declared: wValueLength counts units when wType is 1
    std::size_t children;    // first child
};

// Whether a UTF-16 key of units units equals name (length bytes), ignoring the
// case of ASCII letters. Other characters never match.
bool KeyEquals(const std::uint8_t* key, std::size_t units, const char* name, std::size_t length)
{
    if (units != length) return false;
    for (std::size_t i = 0; i < length; ++i) {
        unsigned a = Word(key + 2 * i);
        unsigned b = static_cast<unsigned char>(name[i]);
        if (a >= 0x80 || b >= 0x80) return false;
        if (ascii::Fold(static_cast<unsigned char>(a)) != ascii::Fold(static_cast<unsigned char>(b))) return false;
    }
    return true;
}

// Reads the node at offset at, which must end by limit.
bool ReadNode(const std::uint8_t* r, std::size_t at, std::size_t limit, Node* node)
{
    if (at > limit || limit - at < kNodeHeader) return false;
    const std::size_t length = Word(r + at);
    if (length < kNodeHeader || length > limit - at) return false;
    node->end = at + length;
    const std::size_t valueLength = Word(r + at + 2);
    const bool text = Word(r + at + 4) == 1;

    std::size_t p = at + kNodeHeader;
    node->key = p;
    for (;; p += 2) {
        if (node->end - p < 2) return false;  // no terminator inside the node
        if (Word(r + p) == 0) break;
    }
    node->keyUnits = (p - node->key) / 2;
    node->value = std::min(Align4(p + 2), node->end);
    node->valueBytes = text ? 2 * valueLength : valueLength;
    node->children = std::min(Align4(node->value + node->valueBytes), node->end);
    return true;
}

// The first child of parent whose key is name (length bytes). A child that
// does not fit in its parent ends the search, as does a wLength too small
// for a node (zero padding at the end of the list among them).
bool FindChild(const std::uint8_t* r, const Node& parent, const char* name, std::size_t length, Node* child)
{
    std::size_t at = parent.children;
    while (at < parent.end) {
        if (!ReadNode(r, at, parent.end, child)) return false;
        if (KeyEquals(r + child->key, child->keyUnits, name, length)) return true;
        at = Align4(child->end);
    }
    return false;
}

bool ReadRoot(const std::uint8_t* r, std::size_t length, Node* root)
{
    static const char kRootKey[] = "VS_VERSION_INFO";
    return ReadNode(r, 0, length, root) && KeyEquals(r + root->key, root->keyUnits, kRootKey, sizeof kRootKey - 1);
}

// ---- The block ------------------------------------------------------------

constexpr std::uint32_t kBlockSignature = 0x4249564Bu;  // "KVIB"
constexpr std::size_t kBlockHeader = 16;

std::size_t TextAreaSize(std::size_t resourceLength) { return Align4(resourceLength / 2 + 4); }

// UTF-16 to the ANSI text VerQueryValueA hands out: ASCII characters as they
// are, every other character as '?', a surrogate pair counting as one
// character. Writes units' characters and a terminator; gives their number.
std::size_t ToAnsi(const std::uint8_t* text, std::size_t units, char* out)
{
    std::size_t n = 0;
    for (std::size_t i = 0; i < units; ++i) {
        const unsigned u = Word(text + 2 * i);
        if (u >= 0xD800 && u < 0xDC00 && i + 1 < units) {
            const unsigned next = Word(text + 2 * i + 2);
            if (next >= 0xDC00 && next < 0xE000) ++i;
        }
        out[n++] = u < 0x80 ? static_cast<char>(u) : '?';
    }
    out[n] = 0;
    return n;
}

// The one path from a file to the resource bytes, over memory or disk. The
// tree is walked exactly three levels deep (type RT_VERSION, its first name,
// that name's first language), so no directory is visited twice. The data
// entry's size may include padding: the root node's wLength says how much is
// version information.
bool ReadVersionResource(ByteSource& file, std::vector<std::uint8_t>* resource)
{
    Image image(file);
    std::uint32_t names = 0, languages = 0, data = 0;
    if (!image.Open() || !FindEntry(image, 0, kRtVersion, &names) || !(names & kSubdirectory) ||
        !FindEntry(image, names & ~kSubdirectory, kFirstEntry, &languages) || !(languages & kSubdirectory) ||
        !FindEntry(image, languages & ~kSubdirectory, kFirstEntry, &data) || (data & kSubdirectory))
        return false;

    std::uint8_t entry[16];  // data RVA, size, code page, reserved
    if (!image.ReadResource(data, entry, sizeof entry)) return false;
    const std::uint32_t rva = Dword(entry);
    std::uint8_t length[2];
    if (!image.ReadRva(rva, length, sizeof length) || Word(length) > Dword(entry + 4)) return false;
    resource->resize(Word(length));
    Node root;
    return image.ReadRva(rva, resource->data(), resource->size()) &&
           ReadRoot(resource->data(), resource->size(), &root);
}

}  // namespace

bool ExtractVersionResource(const std::uint8_t* file, std::size_t size, std::vector<std::uint8_t>* resource)
{
    MemorySource source(file, size);
    return ReadVersionResource(source, resource);
}

std::size_t VersionBlockSize(std::size_t resourceLength)
{
    return kBlockHeader + Align4(resourceLength) + TextAreaSize(resourceLength);
}

bool BuildVersionBlock(const std::uint8_t* resource, std::size_t length, void* block, std::size_t blockSize)
{
    if (length > 0xFFFF || blockSize < VersionBlockSize(length)) return false;
    auto* b = static_cast<std::uint8_t*>(block);
    std::memset(b, 0, VersionBlockSize(length));
    PutDword(b, kBlockSignature);
    PutDword(b + 4, static_cast<std::uint32_t>(length));
    PutDword(b + 8, static_cast<std::uint32_t>(kBlockHeader + Align4(length)));
    PutDword(b + 12, static_cast<std::uint32_t>(TextAreaSize(length)));
    if (length) std::memcpy(b + kBlockHeader, resource, length);
    return true;
}

bool FindVersionValue(const std::uint8_t* resource, std::size_t length, const char* subBlock, VersionValue* value)
{
    Node node;
    if (!ReadRoot(resource, length, &node)) return false;
    int depth = 0;
    bool inStrings = false;  // below "StringFileInfo"
    for (const char* p = subBlock; *p;) {
        if (*p == '\\') {
            ++p;
            continue;
        }
        const char* end = p;
        while (*end && *end != '\\') ++end;
        const std::size_t n = static_cast<std::size_t>(end - p);
        Node child;
        if (!FindChild(resource, node, p, n, &child)) return false;
        if (depth == 0) {
            static const char kStrings[] = "StringFileInfo";
            inStrings = KeyEquals(resource + child.key, child.keyUnits, kStrings, sizeof kStrings - 1);
        }
        node = child;
        ++depth;
        p = end;
    }

    if (inStrings && depth == 3) {
        // A String: whatever its wValueLength says (in units or bytes, with or
        // without the terminator; compilers differ), the text runs to its
        // first zero unit or to the end of the node.
        std::size_t units = 0;
        while (node.end - node.value >= 2 * (units + 1) && Word(resource + node.value + 2 * units) != 0) ++units;
        *value = {node.value, 2 * units, true};
        return true;
    }
    if (node.valueBytes == 0 || node.valueBytes > node.end - node.value) return false;
    *value = {node.value, node.valueBytes, false};
    return true;
}

}  // namespace peversion

using namespace peversion;

namespace {

// The version resource of the executable at a Windows-style path.
bool ReadFileResource(LPCSTR path, std::vector<std::uint8_t>* resource)
{
    if (!path) return false;
    std::FILE* file = OpenDiskFile(path, "rb");
    if (!file) return false;
    FileSource source(file);
    const bool ok = ReadVersionResource(source, resource);
    std::fclose(file);
    return ok;
}

}  // namespace

DWORD GetFileVersionInfoSizeA(LPCSTR path, LPDWORD handle)
{
    if (handle) *handle = 0;
    std::vector<std::uint8_t> resource;
    if (!ReadFileResource(path, &resource)) return 0;
    return static_cast<DWORD>(VersionBlockSize(resource.size()));
}

BOOL GetFileVersionInfoA(LPCSTR path, DWORD /*handle*/, DWORD size, LPVOID data)
{
    std::vector<std::uint8_t> resource;
    if (!data || !ReadFileResource(path, &resource)) return FALSE;
    return BuildVersionBlock(resource.data(), resource.size(), data, size) ? TRUE : FALSE;
}

BOOL VerQueryValueA(LPCVOID block, LPCSTR subBlock, LPVOID* value, PUINT length)
{
    if (!block || !subBlock || !value) return FALSE;
    // The block is the caller's writable memory; the text area receives the
    // ANSI copies of strings.
    auto* b = static_cast<std::uint8_t*>(const_cast<void*>(block));
    const std::size_t resourceLength = Dword(b + 4);
    const std::size_t textArea = Dword(b + 8);
    if (Dword(b) != kBlockSignature || resourceLength > 0xFFFF || textArea != kBlockHeader + Align4(resourceLength) ||
        Dword(b + 12) != TextAreaSize(resourceLength))
        return FALSE;

    const std::uint8_t* resource = b + kBlockHeader;
    VersionValue found;
    if (!FindVersionValue(resource, resourceLength, subBlock, &found)) return FALSE;
    if (!found.text) {
        *value = b + kBlockHeader + found.offset;
        if (length) *length = static_cast<UINT>(found.size);
        return TRUE;
    }
    // Its own place in the text area; room is there by construction, checked
    // all the same.
    const std::size_t at = found.offset / 2;
    const std::size_t units = found.size / 2;
    if (at + units + 1 > TextAreaSize(resourceLength)) return FALSE;
    char* text = reinterpret_cast<char*>(b + textArea + at);
    const std::size_t n = ToAnsi(resource + found.offset, units, text);
    *value = text;
    if (length) *length = static_cast<UINT>(n + 1);
    return TRUE;
}
