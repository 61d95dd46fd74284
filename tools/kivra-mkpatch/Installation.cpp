#include "tools/kivra-mkpatch/Installation.h"

#include <algorithm>
#include <system_error>

#include "pack/PackFileManager.h"
#include "pack/PackText.h"
#include "platform/AsciiCase.h"
#include "platform/CodePage.h"
#include "platform/Disk.h"
#include "platform/Win32.h"
#include "tools/kivra-mkpatch/Faults.h"
#include "tools/kivra-mkpatch/PatchNames.h"
#include "tools/kivra-mkpatch/Report.h"

namespace fs = std::filesystem;

namespace mkpatch {

namespace {

// Opens the installation's Dev\Kivra.pak and finds its Kivra_Pak tree; false
// after saying why.
bool OpenPack(Installation& game)
{
    std::error_code error;
    if (!fs::is_directory(game.root, error))
        return Refuse(game.Name() + ": " + (fs::exists(game.root, error) ? "not a directory" : "no such directory"));
    std::string system;
    if (!HostToSystemText(game.root.string(), system))
        return Refuse(game.Name() + ": path has a character that code page 949 lacks");
    if (!system.empty() && system.back() != '/' && system.back() != '\\') system += '\\';
    system += kPackFile;
    char host[kHostPathMax];
    if (!ResolveDiskPath(system.c_str(), host, sizeof host) || !fs::is_regular_file(host, error))
        return Refuse(game.Name() + ": no Dev\\Kivra.pak");
    game.packHost = host;
    if (system.size() >= static_cast<std::size_t>(kMaxPath))
        return Refuse(game.Name() + ": the pack's path is longer than " + std::to_string(kMaxPath - 1) + " bytes");
    // A file too short for a header is refused before the engine, which
    // would say so on stdout.
    if (fs::file_size(host, error) < static_cast<std::uintmax_t>(pack::kHeaderImageSize) ||
        game.pack->Open(system.c_str(), "rb") != 1)
        return Refuse(game.packHost.string() + ": not a pack file");
    if (game.pack->ChangeDir("Z:\\Kivra_Pak") != 0)
        return Refuse(game.packHost.string() + ": no Kivra_Pak directory, so no version");
    game.treeBlock = game.pack->GetCurrentDir();
    game.pack->ChangeDir("Z:\\");
    return true;
}

// Reads the version from the open pack's Kivra_Pak\Version.txt; false after
// saying why there is none.
bool ReadVersion(Installation& game)
{
    const int handle = game.pack->OpenFile("Z:\\Kivra_Pak\\Version.txt", OF_READ, kInPack);
    char text[1001] = {};
    bool read = false;
    if (handle != -1) {
        std::int32_t length = game.pack->GetLength(handle);
        if (length > 1000) length = 1000;
        read = length > 0 && game.pack->ReadBytes(handle, text, length) == length;
        game.pack->CloseFile(handle);
    }
    if (!read || !ParseVersionText(text, game.version))
        return Refuse(game.packHost.string() + ": Kivra_Pak\\Version.txt " +
                      (handle == -1 ? "is missing" : "holds no version"));
    return true;
}

// Takes what the --exclude patterns match out of the installation's trees,
// but for Kivra_Pak\Version.txt, the patch's version.
void Exclude(Installation& game, const std::vector<std::string>& patterns)
{
    if (patterns.empty()) return;
    const auto excluded = [&](const std::string& path, bool folder) {
        for (const std::string& pattern : patterns)
            if (PatternMatches(pattern, path, folder)) return true;
        return false;
    };
    std::vector<TreeFile> version;
    for (const TreeFile& file : game.packTree.files)
        if (IsVersionFile(file.path)) version.push_back(file);
    LeaveOut(game.packTree, std::string(kPackTree) + '/', excluded);
    LeaveOut(game.diskTree, "", excluded);
    if (std::none_of(game.packTree.files.begin(), game.packTree.files.end(),
                     [](const TreeFile& file) { return IsVersionFile(file.path); }))
        game.packTree.files.insert(game.packTree.files.begin(), version.begin(), version.end());
}

}  // namespace

bool OpenInstallation(Installation& game) { return OpenPack(game) && ReadVersion(game); }

bool ListTrees(Installation& game, const std::vector<std::string>& excludes)
{
    std::string error;
    if (!ListPackTree(*game.pack, game.treeBlock, game.packTree, error))
        return Refuse(game.packHost.string() + ": " + error);
    std::vector<std::string> notes;
    const auto leaveOut = [&](const fs::path& host, const std::string& path) {
        std::error_code ignored;
        // The pack, and the need version that earlier patches left.
        return fs::equivalent(host, game.packHost, ignored) || ascii::EqualIgnoringCase(path.c_str(), kNeedFile);
    };
    if (!ListDiskTree(game.root, leaveOut, game.diskTree, notes, error)) return Refuse(game.Name() + ": " + error);
    for (const std::string& note : notes) Warn(note);
    Exclude(game, excludes);
    return true;
}

}  // namespace mkpatch
