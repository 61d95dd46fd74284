// The registry on Linux: the Wine prefix's system.reg (platform/Win32.h).
//
// HKEY_LOCAL_MACHINE, read only. Key and value names and string data cross
// in the system code page.
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "platform/Win32.h"
#include "platform/posix/CodePage.h"
#include "platform/posix/RegistryFile.h"
#include "platform/posix/WinePrefix.h"

struct HKEY__ {
    std::string path;  // in the file's terms, the 32-bit view already applied
    registry::Key key;
};

namespace {

std::mutex keysLock;
std::set<HKEY> openKeys;

bool IsOpen(HKEY key)
{
    std::lock_guard<std::mutex> lock(keysLock);
    return openKeys.count(key) != 0;
}

bool ReadMachineRegistry(std::string& text)
{
    const std::string prefix = WinePrefix();
    return !prefix.empty() && registry::ReadPrefixRegistry(prefix, text);
}

// A name the caller gives in the system code page, as the file's reader
// keeps it (UTF-8); false when it names nothing there.
bool NameInFile(const char* name, std::string& out)
{
    return codepage::Convert(codepage::Direction::kToUtf8, name ? name : "", out, codepage::Unconvertible::kFail);
}

bool IsStringType(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// What RegQueryValueExA hands out: strings in the system code page, a
// character the code page lacks as '?' (as Windows gives them); other data
// as stored.
std::string Data(const registry::Value& value)
{
    const std::string stored(value.data.begin(), value.data.end());
    if (!IsStringType(value.type)) return stored;
    std::string text;
    codepage::Convert(codepage::Direction::kToCp949, stored, text, codepage::Unconvertible::kQuestionMark);
    return text;
}

}  // namespace

LSTATUS RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result)
{
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    std::string path;
    if (!NameInFile(subKey, path)) return ERROR_FILE_NOT_FOUND;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    if (!path.empty() && path.front() == '\\') return ERROR_FILE_NOT_FOUND;

    bool fromRoot = false;
    if (key == HKEY_LOCAL_MACHINE) {
        fromRoot = true;
    } else if (IsOpen(key)) {
        path = path.empty() ? key->path : key->path.empty() ? path : key->path + "\\" + path;
    } else {
        // The other roots have no file here.
        const std::uintptr_t value = reinterpret_cast<std::uintptr_t>(key);
        return value >= 0x80000000u && value <= 0x80000006u ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_HANDLE;
    }

    std::string text;
    if (!ReadMachineRegistry(text)) return ERROR_FILE_NOT_FOUND;
    if (fromRoot && registry::ReadArch(text) == registry::Arch::Win64) path = registry::ThirtyTwoBitView(path);
    std::optional<registry::Key> found = registry::ReadKey(text, path);
    if (!found) return ERROR_FILE_NOT_FOUND;

    HKEY opened = new HKEY__{std::move(path), std::move(*found)};
    std::lock_guard<std::mutex> lock(keysLock);
    openKeys.insert(opened);
    *result = opened;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type, BYTE* buffer, LPDWORD size)
{
    if (!IsOpen(key)) return ERROR_INVALID_HANDLE;
    if (reserved || (buffer && !size)) return ERROR_INVALID_PARAMETER;
    std::string name;
    const registry::Value* value = NameInFile(valueName, name) ? key->key.Find(name) : nullptr;
    if (!value) return ERROR_FILE_NOT_FOUND;
    if (type) *type = value->type;
    const std::string data = Data(*value);
    const DWORD needed = static_cast<DWORD>(data.size());
    if (!size) return ERROR_SUCCESS;
    if (buffer && *size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    if (buffer && needed) std::memcpy(buffer, data.data(), needed);
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE) return ERROR_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(keysLock);
        if (openKeys.erase(key) == 0) return ERROR_INVALID_HANDLE;
    }
    delete key;
    return ERROR_SUCCESS;
}
