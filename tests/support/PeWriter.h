// Writes a minimal Windows executable image (PE32) whose only content is a
// version resource, so that tests and the demo can stand in executables of
// any file version. Built from the PE/COFF layout alone.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testpe {

struct VersionResource {
    std::string fileVersion = "1.0.2.29";  // the FileVersion string
    std::uint16_t language = 0x0409;
    std::uint16_t codePage = 0x04b0;
    std::uint16_t fixed[4] = {1, 0, 2, 29};  // VS_FIXEDFILEINFO's file version
};

namespace detail {

inline void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void Add16(std::vector<std::uint8_t>& b, std::uint16_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Add32(std::vector<std::uint8_t>& b, std::uint32_t v)
{
    Add16(b, static_cast<std::uint16_t>(v));
    Add16(b, static_cast<std::uint16_t>(v >> 16));
}
inline void AddWide(std::vector<std::uint8_t>& b, const std::string& s)
{
    for (unsigned char c : s) Add16(b, c);
    Add16(b, 0);
}
inline void Align4(std::vector<std::uint8_t>& b)
{
    while (b.size() % 4) b.push_back(0);
}

// One node of a version block: header, key, value, children; its length
// patched in at the end.
inline std::vector<std::uint8_t> Node(const std::string& key, std::uint16_t type,
                                      const std::vector<std::uint8_t>& value, std::uint16_t valueLength,
                                      const std::vector<std::vector<std::uint8_t>>& children)
{
    std::vector<std::uint8_t> b;
    Add16(b, 0);
    Add16(b, valueLength);
    Add16(b, type);
    AddWide(b, key);
    Align4(b);
    b.insert(b.end(), value.begin(), value.end());
    for (const auto& child : children) {
        Align4(b);
        b.insert(b.end(), child.begin(), child.end());
    }
    Put16(b, 0, static_cast<std::uint16_t>(b.size()));
    return b;
}

}  // namespace detail

inline std::vector<std::uint8_t> VersionBlock(const VersionResource& r)
{
    using namespace detail;
    std::vector<std::uint8_t> fixed;
    Add32(fixed, 0xFEEF04BD);
    Add32(fixed, 0x00010000);
    Add32(fixed, static_cast<std::uint32_t>(r.fixed[0]) << 16 | r.fixed[1]);
    Add32(fixed, static_cast<std::uint32_t>(r.fixed[2]) << 16 | r.fixed[3]);
    Add32(fixed, static_cast<std::uint32_t>(r.fixed[0]) << 16 | r.fixed[1]);
    Add32(fixed, static_cast<std::uint32_t>(r.fixed[2]) << 16 | r.fixed[3]);
    for (int i = 0; i < 7; ++i) Add32(fixed, i == 2 ? 0x00040004u : i == 3 ? 1u : 0u);

    std::vector<std::uint8_t> text;
    AddWide(text, r.fileVersion);
    const auto fileVersion = Node("FileVersion", 1, text, static_cast<std::uint16_t>(r.fileVersion.size() + 1), {});
    char table[9];
    std::snprintf(table, sizeof table, "%04x%04x", r.language, r.codePage);
    const auto stringTable = Node(table, 1, {}, 0, {fileVersion});
    const auto stringFileInfo = Node("StringFileInfo", 1, {}, 0, {stringTable});
    std::vector<std::uint8_t> translation;
    Add16(translation, r.language);
    Add16(translation, r.codePage);
    const auto var = Node("Translation", 0, translation, 4, {});
    const auto varFileInfo = Node("VarFileInfo", 1, {}, 0, {var});
    return Node("VS_VERSION_INFO", 0, fixed, static_cast<std::uint16_t>(fixed.size()), {stringFileInfo, varFileInfo});
}

// A PE32 image: headers, then one .rsrc section holding the version
// resource (type 16, name 1, the resource's language).
inline std::vector<std::uint8_t> Executable(const VersionResource& r)
{
    using namespace detail;
    constexpr std::uint32_t kSectionRva = 0x1000;
    constexpr std::uint32_t kSectionFile = 0x200;

    std::vector<std::uint8_t> rsrc(3 * 24 + 16, 0);
    // Three directory levels, one entry each, then the data entry.
    for (int level = 0; level < 3; ++level) {
        const std::size_t at = static_cast<std::size_t>(level) * 24;
        Put16(rsrc, at + 14, 1);  // one id entry
        const std::uint32_t id = level == 0 ? 16u : level == 1 ? 1u : r.language;
        Put32(rsrc, at + 16, id);
        const std::uint32_t next = static_cast<std::uint32_t>((level + 1) * 24);
        Put32(rsrc, at + 20, level < 2 ? (0x80000000u | next) : next);
    }
    const std::vector<std::uint8_t> block = VersionBlock(r);
    Put32(rsrc, 72, kSectionRva + static_cast<std::uint32_t>(rsrc.size()));
    Put32(rsrc, 76, static_cast<std::uint32_t>(block.size()));
    rsrc.insert(rsrc.end(), block.begin(), block.end());
    const std::uint32_t rawSize = static_cast<std::uint32_t>((rsrc.size() + 0x1FF) & ~std::size_t{0x1FF});
    rsrc.resize(rawSize, 0);

    std::vector<std::uint8_t> image(kSectionFile, 0);
    image[0] = 'M';
    image[1] = 'Z';
    Put32(image, 0x3C, 0x40);
    std::size_t at = 0x40;
    image[at] = 'P';
    image[at + 1] = 'E';
    at += 4;
    Put16(image, at, 0x14C);        // i386
    Put16(image, at + 2, 1);        // one section
    Put16(image, at + 16, 224);     // optional header size
    Put16(image, at + 18, 0x0102);  // executable, 32-bit
    at += 20;
    const std::size_t optional = at;
    Put16(image, optional, 0x10B);                                                     // PE32
    Put32(image, optional + 28, 0x400000);                                             // image base
    Put32(image, optional + 32, 0x1000);                                               // section alignment
    Put32(image, optional + 36, 0x200);                                                // file alignment
    Put16(image, optional + 40, 4);                                                    // OS version
    Put16(image, optional + 48, 4);                                                    // subsystem version
    Put32(image, optional + 56, kSectionRva + 0x1000 * ((rawSize + 0xFFF) / 0x1000));  // image size
    Put32(image, optional + 60, kSectionFile);                                         // headers size
    Put16(image, optional + 68, 2);                                                    // GUI
    Put32(image, optional + 92, 16);                                                   // data directories
    Put32(image, optional + 96 + 2 * 8, kSectionRva);                                  // resources
    Put32(image, optional + 96 + 2 * 8 + 4, static_cast<std::uint32_t>(72 + 16 + block.size()));
    at = optional + 224;
    const char name[8] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};
    for (int i = 0; i < 8; ++i) image[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(name[i]);
    Put32(image, at + 8, static_cast<std::uint32_t>(72 + 16 + block.size()));
    Put32(image, at + 12, kSectionRva);
    Put32(image, at + 16, rawSize);
    Put32(image, at + 20, kSectionFile);
    Put32(image, at + 36, 0x40000040);  // initialised data, readable
    image.insert(image.end(), rsrc.begin(), rsrc.end());
    return image;
}

}  // namespace testpe
