// A PE file's version resource, read without a Windows loader (PeVersion.cpp).
//
// These are the pieces behind GetFileVersionInfoSizeA, GetFileVersionInfoA and
// VerQueryValueA (platform/posix/PeVersion.cpp). Each works on bytes in
// memory, so a test or a fuzzing harness can drive the parsing without a file:
//
//   std::vector<std::uint8_t> resource;
//   if (ExtractVersionResource(data, size, &resource)) {
//       std::vector<std::uint8_t> block(VersionBlockSize(resource.size()));
//       BuildVersionBlock(resource.data(), resource.size(), block.data(), block.size());
//       VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", &value, &length);
//   }
//
// Every structure is bounds-checked against the bytes it was found in:
// malformed or truncated input gives false, never a read outside them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace peversion {

// Copies the VS_VERSIONINFO of a PE32 or PE32+ file (the first RT_VERSION
// resource: its first name, its first language) into *resource: as many bytes
// as the root node's wLength says. False when the bytes are no PE file, hold no
// version resource, or when anything on the way lies outside the file or
// outside the part of its section that the file holds.
bool ExtractVersionResource(const std::uint8_t* file, std::size_t size, std::vector<std::uint8_t>* resource);

// The block GetFileVersionInfoA fills, for a resource of resourceLength bytes:
//
//   offset 0   DWORD  signature 'KVIB' (0x4249564B)
//          4   DWORD  resource length L
//          8   DWORD  offset of the text area from the block's start
//         12   DWORD  size of the text area
//         16   L bytes: the VS_VERSIONINFO as the file holds it, then zeros
//                       up to a multiple of 4
//              text area: zeros until VerQueryValueA writes the ANSI copy of
//                       a string into it. The copy of the string whose UTF-16
//                       value starts at offset o of the resource lives at
//                       offset o / 2 of the text area, so each string has its
//                       own place, and querying one again rewrites the same
//                       bytes (as Windows does, the block is written to
//                       although VerQueryValueA takes it as const).
//
// The text area is L / 2 + 4 bytes rounded up to a multiple of 4: a string of
// n units takes at least 2n bytes of the resource and n + 1 of the area.
std::size_t VersionBlockSize(std::size_t resourceLength);

// Lays out a block (see above) in block. False when blockSize is smaller than
// VersionBlockSize(length) or the resource is longer than 65535 bytes.
bool BuildVersionBlock(const std::uint8_t* resource, std::size_t length, void* block, std::size_t blockSize);

// A value found in VS_VERSIONINFO bytes, by its place in them.
struct VersionValue {
    std::size_t offset;  // first byte of the value
    std::size_t size;    // bytes; for a string those of its units before the terminator
    bool text;           // a UTF-16 string (a String of a StringTable)
};

// Looks subBlock up in the resource ("\", "\VarFileInfo\Translation",
// "\StringFileInfo\040904b0\FileVersion"; see VerQueryValueA in
// platform/Win32.h). Components are separated by backslashes; empty ones are
// ignored, so "" and "\" both name the root. Keys match ignoring the case of
// ASCII letters; a key byte of 128 or more matches nothing. False when the
// value is missing, empty (except a string, which may be empty) or runs out of
// its node.
bool FindVersionValue(const std::uint8_t* resource, std::size_t length, const char* subBlock, VersionValue* value);

}  // namespace peversion
