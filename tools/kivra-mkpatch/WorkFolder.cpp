#include "tools/kivra-mkpatch/WorkFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "platform/Disk.h"
#include "platform/Win32.h"
#include "tools/kivra-mkpatch/Report.h"
#include "tools/kivra-mkpatch/Signals.h"

namespace fs = std::filesystem;

namespace mkpatch {

std::string outSystem;

namespace {

// The work folder, a system code page path.
std::string workSystem;
// The work folder and its files as the host names them, for a signal
// handler: empty while there is no work folder.
char workHost[kHostPathMax];
char workFileHost[kWorkFiles][kHostPathMax];
// Host paths of the folders this run made, outermost first, OUTDIR among
// them once it is made: removed again, when empty, unless the patch is in
// place.
std::vector<std::string> madeFolders;

// Says why the work folder cannot be had and takes back what was made on the
// way to it; false.
bool NoWorkFolder(const std::string& text)
{
    SayError(text);
    RemoveWork();
    return false;
}

// Names the work folder and its files as the host does; false after saying
// why.
bool NameWork(char (&folderHost)[kHostPathMax], char (&fileHost)[kWorkFiles][kHostPathMax])
{
    const std::string parent = ParentOf(outSystem);
    workSystem = Joined(parent, kWorkPrefix + std::to_string(GetCurrentProcessId()));
    bool named = ResolveDiskPath(workSystem.c_str(), folderHost, sizeof folderHost);
    for (int file = 0; file < kWorkFiles; ++file)
        named = named && ResolveDiskPath(InWork(static_cast<WorkFile>(file)).c_str(), fileHost[file], kHostPathMax);
    if (!named) return NoWorkFolder(Shown(workSystem) + ": cannot be named (" + std::strerror(errno) + ")");
    return true;
}

// Makes the missing folders above the host path, outermost first, each
// recorded as made; false after saying why.
bool MakeFoldersAbove(const fs::path& host)
{
    std::vector<fs::path> missing;
    std::error_code error;
    for (fs::path folder = host.parent_path(); !fs::exists(folder, error) && folder.has_relative_path();
         folder = folder.parent_path())
        missing.push_back(folder);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        {
            const SignalsHeld held;
            if (fs::create_directory(*it, error)) madeFolders.push_back(it->string());
        }
        if (error) return NoWorkFolder(it->string() + ": cannot be made (" + error.message() + ")");
    }
    return true;
}

}  // namespace

std::string Joined(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\') return folder + '\\' + name;
    return folder + name;
}

std::string InOutDir(const std::string& name) { return Joined(outSystem, name); }

std::string InWork(WorkFile file) { return Joined(workSystem, kWorkNames[file]); }

const char* WorkFileHost(WorkFile file) { return workFileHost[file]; }

std::string ParentOf(std::string path)
{
    while (path.size() > 1 && (path.back() == '/' || path.back() == '\\')) path.pop_back();
    const std::size_t cut = path.find_last_of("/\\");
    const std::string last = cut == std::string::npos ? path : path.substr(cut + 1);
    if (last.empty() || last == "." || last == ".." || (path.size() == 2 && path[1] == ':')) return path + "\\..";
    if (cut == std::string::npos) return ".";
    // Keep the root: "\" or "C:\".
    if (cut == 0 || (cut == 2 && path[1] == ':')) return path.substr(0, cut + 1);
    return path.substr(0, cut);
}

bool MakeWorkFolder()
{
    char folderHost[kHostPathMax];
    char fileHost[kWorkFiles][kHostPathMax];
    if (!NameWork(folderHost, fileHost) || !MakeFoldersAbove(folderHost)) return false;
    bool made = false;
    {
        const SignalsHeld held;
        made = MakeDiskDirectory(workSystem.c_str()) == 0;
        if (made) {
            std::memcpy(workFileHost, fileHost, sizeof fileHost);
            std::memcpy(workHost, folderHost, sizeof folderHost);
        }
    }
    // The work folder is this run's own business: what the user can do
    // about it is choose another OUTDIR, or let its folder be written.
    if (!made)
        return NoWorkFolder(Shown(outSystem) + ": the folder it is in, " + Shown(ParentOf(outSystem)) +
                            ", cannot be written (" + std::strerror(errno) +
                            "): the patch is made there first, then moved into OUTDIR; choose an OUTDIR in a "
                            "folder you may write");
    return true;
}

void RecordMadeFolder(const std::string& host) { madeFolders.push_back(host); }

void KeepMadeFolders() { madeFolders.clear(); }

void TakeBackWork()
{
    const auto removeFile = [](const char* host) {
#ifdef _WIN32
        std::remove(host);
#else
        unlink(host);
#endif
    };
    const auto removeFolder = [](const char* host) {
#ifdef _WIN32
        RemoveDirectoryA(host);
#else
        rmdir(host);
#endif
    };
    if (workHost[0]) {
        for (const char* file : workFileHost) removeFile(file);
        removeFolder(workHost);
    }
    for (auto it = madeFolders.rbegin(); it != madeFolders.rend(); ++it) removeFolder(it->c_str());
}

void RemoveWork()
{
    const SignalsHeld held;
    TakeBackWork();
    workHost[0] = 0;
    madeFolders.clear();
}

}  // namespace mkpatch
