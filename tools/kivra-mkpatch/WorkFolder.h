// The work folder. What a run makes lies in a folder of its own beside
// OUTDIR, ".kivra-mkpatch-PID" in OUTDIR's parent (PID the process's id): on
// OUTDIR's file system, so that the finished files are renamed into OUTDIR,
// and never in what ships. Until the patch is in place it also keeps what the
// run moves out of OUTDIR. Every way out but success removes it, a stop
// signal among them, and the folders the run made on the way to it.
#pragma once

#include <string>

namespace mkpatch {

inline constexpr char kWorkPrefix[] = ".kivra-mkpatch-";

enum WorkFile {
    kWorkPack,
    kWorkArchive,
    kWorkLauncher,
    kEarlierLauncher,  // OUTDIR's KNet.exe, moved aside
    kEarlierPack,      // OUTDIR's Update.pak, moved aside
    kWorkFiles
};
// The only names a work folder holds.
inline constexpr const char* kWorkNames[kWorkFiles] = {"Update.pak", "update.lzh", "KNet.exe", "earlier KNet.exe",
                                                       "earlier Update.pak"};

// OUTDIR, a system code page path, once it is checked.
extern std::string outSystem;

// The path of name in folder, in OUTDIR, and of a file in the work folder:
// system code page paths all.
std::string Joined(const std::string& folder, const std::string& name);
std::string InOutDir(const std::string& name);
std::string InWork(WorkFile file);

// The host's path of a work file, once the work folder is made.
const char* WorkFileHost(WorkFile file);

// The parent of the folder at path, a system code page path, as a path of
// the same kind.
std::string ParentOf(std::string path);

// Makes the work folder in OUTDIR's parent, and the folders on the way to it
// that are missing; false after saying why.
bool MakeWorkFolder();

// Records a folder the run made (its host path), to be removed again when
// empty unless the patch is put in place; KeepMadeFolders forgets them once
// it is. Both under SignalsHeld.
void RecordMadeFolder(const std::string& host);
void KeepMadeFolders();

// Removes the work folder and the folders this run made, by calls a signal
// handler may make.
void TakeBackWork();

// TakeBackWork, then forgets them, with the stop signals held.
void RemoveWork();

}  // namespace mkpatch
