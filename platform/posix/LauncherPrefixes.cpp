// The Wine prefixes of the usual game launchers (LauncherPrefixes.h).
#include "platform/posix/LauncherPrefixes.h"

#include <algorithm>
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
    {"Games", ""},                                                 // Lutris
    {".local/share/bottles/bottles", ""},                          // Bottles
    {".var/app/com.usebottles.bottles/data/bottles/bottles", ""},  // Bottles from Flatpak
    {".steam/steam/steamapps/compatdata", "pfx"},                  // Steam's Proton
    {".local/share/Steam/steamapps/compatdata", "pfx"},            //
    {".var/app/com.valvesoftware.Steam/.local/share/Steam/steamapps/compatdata", "pfx"},
    {".PlayOnLinux/wineprefix", ""},  // PlayOnLinux
};

bool Holds(const std::string& prefix, const std::string& key, const std::string& value)
{
    std::string text;
    if (!registry::ReadPrefixRegistry(prefix, text)) return false;
    const std::string path = registry::ReadArch(text) == registry::Arch::Win64 ? registry::ThirtyTwoBitView(key) : key;
    const std::optional<registry::Key> found = registry::ReadKey(text, path);
    const registry::Value* stored = found ? found->Find(value) : nullptr;
    return stored && stored->type == REG_SZ;
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
