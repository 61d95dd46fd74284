// Wine's registry files (system.reg), read from their text (RegistryFile.cpp).
//
// Wine keeps a prefix's registry as text:
//
//   WINE REGISTRY Version 2
//   ;; All keys relative to \\Machine
//   #arch=win64
//
//   [Software\\Wow6432Node\\Pendix\\Kivra] 1700000000
//   #time=1d9e0c1a2b3c4d5
//   "InstallPath"="C:\\Games\\Kivra"
//   @="the default value"
//   "Path"=str(2):"%SystemRoot%\\x"      REG_EXPAND_SZ (str(N): a string of type N)
//   "Count"=dword:0000002a                REG_DWORD
//   "Blob"=hex:de,ad,be,ef                REG_BINARY (hex(N): bytes of type N)
//   "List"=hex(7):41,00,00,00,\           continued on the next line
//     00,00
//
// Key paths and names are written with escapes: \\ \" \n \r \t (and the other
// C letters), octal \ooo, and \xhhhh, one UTF-16 code unit of up to four hex
// digits. Strings are returned in UTF-8 with their terminating zero, the
// UTF-16 of hex(1), hex(2) and hex(7) too; other data as written. Key and
// value names compare ignoring the case of ASCII letters.
//
// Reading never fails: a line that is not understood is skipped, and nothing
// outside the text is read.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Win32.h"

namespace registry {

enum class Arch {
    Unknown,
    Win32,
    Win64
};

struct Value {
    std::string name;  // UTF-8; "" for the default value (@)
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Key {
    std::vector<Value> values;  // each name once, the first the file gives
    // The value of that name, or null.
    const Value* Find(std::string_view name) const;
};

// What the file's "#arch=" line says.
Arch ReadArch(std::string_view text);

// The key at path (components separated by single backslashes, relative to
// the file's root) with its values. Nothing when the file has neither that
// key nor one below it.
std::optional<Key> ReadKey(std::string_view text, std::string_view path);

// The key path a 32-bit program means in a 64-bit prefix: Software\X is
// Software\Wow6432Node\X there.
std::string ThirtyTwoBitView(const std::string& path);

// The text of prefix's system.reg; false when it cannot be read or is
// larger than any registry Wine writes.
bool ReadPrefixRegistry(const std::string& prefix, std::string& text);

}  // namespace registry
