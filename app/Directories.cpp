#include "app/Directories.h"

#include <cstdio>
#include <cstring>

#include "pack/PackText.h"
#include "platform/AsciiCase.h"
#include "platform/Framework.h"
#include "update/Globals.h"

namespace {

constexpr char kGameKey[] = "Software\\Pendix\\Kivra";
constexpr char kInstallPath[] = "InstallPath";

// The directory part of path (up to and including its last separator).
void CutAfterLastSeparator(char* path)
{
    char* cut = nullptr;
    for (char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') cut = p;
    if (cut) cut[1] = 0;
}

// GameDir from the registry; false when it cannot be read.
bool ReadGameDir();

// Whether path is a full path on a drive, "C:\..." (or "C:/..."). An empty
// or relative one would name a folder wherever the patcher stands; on Linux
// a network path ("\\server\share") would name the host's own folders.
bool IsDrivePath(const char* path)
{
    if (ascii::IsLetter(path[0]) && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) return true;
#if defined(_WIN32)
    return (path[0] == '\\' && path[1] == '\\' && path[2] && path[2] != '\\');
#else
    return false;
#endif
}

}  // namespace

bool ReadRegistryString(HKEY key, const char* valueName, DWORD expectedType, char* buffer, DWORD& size)
{
    DWORD type = REG_NONE;
    DWORD needed = 0;
    RegQueryValueExA(key, valueName, nullptr, &type, nullptr, &needed);
    if (type != expectedType) {
        size = 0;
        return false;
    }
    if (size < needed) {
        size = needed;
        return false;
    }
    RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    return true;
}

void ShowOtherInstallations() { AfxShowOtherInstallations(kGameKey, kInstallPath); }

bool InitDirectories()
{
    // The folder the Linux command line names; on Windows the command line
    // is cut after its last backslash, arguments included.
    if (const char* folder = AfxWorkFolder()) {
        pack::CopyText(UpdaterDir, folder, kMaxPath);
        return ReadGameDir();
    }
    char line[kMaxPath];
    pack::CopyText(line, GetCommandLineA(), sizeof line);
    if (char* last = std::strrchr(line, '\\')) {
        last[1] = 0;
        // A quoted program path loses its opening quote.
        pack::CopyText(UpdaterDir, ascii::IsLetter(line[0]) ? line : line + 1, kMaxPath);
    } else {
        // Started by a bare name: the directory of the running executable.
        UpdaterDir[0] = 0;
        if (GetModuleFileNameA(nullptr, UpdaterDir, kMaxPath) > 0) CutAfterLastSeparator(UpdaterDir);
    }
    return ReadGameDir();
}

namespace {

bool ReadGameDir()
{
    HKEY key = nullptr;
#if defined(_WIN64)
    // The game is a 32-bit program: its installer wrote the 32-bit view.
    const REGSAM access = KEY_ALL_ACCESS | KEY_WOW64_32KEY;
#else
    const REGSAM access = KEY_ALL_ACCESS;
#endif
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kGameKey, 0, access, &key) != ERROR_SUCCESS) return false;

    char installPath[kMaxPath + 1] = {};
    DWORD size = kMaxPath;
    const bool read = ReadRegistryString(key, kInstallPath, REG_SZ, installPath, size);
    RegCloseKey(key);
    if (!read) return false;

    // A value stored without its terminating zero is terminated here; one
    // that leaves no room for the backslash is no usable path.
    installPath[size < kMaxPath ? size : kMaxPath] = 0;
    const std::size_t length = std::strlen(installPath);
    if (length + 2 > static_cast<std::size_t>(kMaxPath)) return false;
    if (!IsDrivePath(installPath)) {
        char line[kMaxPath + 160];
        std::snprintf(line, sizeof line,
                      "InstallPath \"%s\" (HKEY_LOCAL_MACHINE\\%s) is no full path on a drive (C:\\...): the "
                      "game's folder is not known.",
                      installPath, kGameKey);
        AfxShowProblem(line);
        return false;
    }
    std::memcpy(GameDir, installPath, length);
    GameDir[length] = '\\';
    GameDir[length + 1] = 0;
    return true;
}

}  // namespace
