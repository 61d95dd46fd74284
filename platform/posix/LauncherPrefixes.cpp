// The Wine prefixes of the usual game launchers (LauncherPrefixes.h).
#include "platform/posix/LauncherPrefixes.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>

#include "platform/posix/RegistryFile.h"

namespace fs = std::filesystem;

namespace {

// Where each launcher keeps its prefixes: a folder of them, and what lies
// inside each between it and the prefix.
struct Place {
    const char* folder;  // below home
    const char* inside;  // "" when each entry is a prefix itself
};

const Place kPlaces[] = {
    {"Games", ""},                                                 // Lutris, its older layout
    {"Games", "prefix"},                                           // Lutris: the game's folder holds it
    {".local/share/bottles/bottles", ""},                          // Bottles
    {".var/app/com.usebottles.bottles/data/bottles/bottles", ""},  // Bottles from Flatpak
    {".steam/steam/steamapps/compatdata", "pfx"},                  // Steam's Proton
    {".local/share/Steam/steamapps/compatdata", "pfx"},            //
    {".var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/compatdata", "pfx"},
    {".PlayOnLinux/wineprefix", ""},  // PlayOnLinux
};

bool SameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Whether the Windows path windows (UTF-8, "C:\Games\Kivra") names a
// folder in prefix: its drive through dosdevices/, each name in any letter
// case, as Wine finds it.
bool FolderInPrefix(const std::string& prefix, const std::string& windows)
{
    if (windows.size() < 2 || windows[1] != ':' || !std::isalpha(static_cast<unsigned char>(windows[0]))) return false;
    std::error_code error;
    fs::path at = fs::path(prefix) / "dosdevices" /
                  (std::string(1, static_cast<char>(std::tolower(static_cast<unsigned char>(windows[0])))) + ":");
    std::size_t start = 2;
    while (start <= windows.size()) {
        const std::size_t end = std::min(windows.find('\\', start), windows.size());
        const std::string name = windows.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        if (!fs::is_directory(at, error)) return false;
        fs::path next = at / name;
        if (!fs::exists(next, error)) {
            for (const auto& entry : fs::directory_iterator(at, error))
                if (SameIgnoringCase(entry.path().filename().string(), name)) next = entry.path();
        }
        at = next;
    }
    return fs::is_directory(at, error);
}

// Whether the prefix's registry holds the value, and the folder it names is
// there: a prefix whose game was removed is no place to patch.
bool Holds(const std::string& prefix, const std::string& key, const std::string& value)
{
    std::string text;
    if (!registry::ReadPrefixRegistry(prefix, text)) return false;
    const std::string path = registry::ReadArch(text) == registry::Arch::Win64 ? registry::ThirtyTwoBitView(key) : key;
    const std::optional<registry::Key> found = registry::ReadKey(text, path);
    const registry::Value* stored = found ? found->Find(value) : nullptr;
    if (!stored || stored->type != REG_SZ) return false;
    const std::string folder(stored->data.begin(), std::find(stored->data.begin(), stored->data.end(), BYTE{0}));
    return FolderInPrefix(prefix, folder);
}

}  // namespace

std::vector<std::string> LauncherPrefixesHolding(const std::string& home, const std::string& key,
                                                 const std::string& value)
{
    std::set<std::string> seen;
    std::vector<std::string> holding;
    for (const Place& place : kPlaces) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fs::path(home) / place.folder, error)) {
            const fs::path prefix = place.inside[0] ? entry.path() / place.inside : entry.path();
            // The same prefix reached by two ways (~/.steam/steam is a link) once.
            const fs::path real = fs::canonical(prefix, error);
            if (error || !seen.insert(real.string()).second) continue;
            if (Holds(real.string(), key, value)) holding.push_back(real.string());
        }
    }
    std::sort(holding.begin(), holding.end());
    return holding;
}
