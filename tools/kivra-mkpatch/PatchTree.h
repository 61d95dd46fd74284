// The files of an installation's two trees, the pack's "Kivra_Pak" tree and
// the disk files below the game directory, what differs between an old and a
// new installation's tree, and the shell patterns that leave paths out.
//
// Paths are kept as the patch will hold them: in the system code page, with
// backslashes between components, below the tree's root. Two paths name the
// same file when they differ only in the case of ASCII letters, as the pack
// engine and the patcher's disk side take them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class CPackFileManager;

namespace mkpatch {

struct TreeFile {
    std::string path;
    std::uint64_t size = 0;
    // In a pack: the first block of the directory that lists the file.
    std::int32_t directory = -1;
    // On disk: the host's path of the file.
    std::filesystem::path host;
    // A FILETIME: in a pack the entry's time, on disk the modification time.
    std::uint64_t time = 0;
};

struct Tree {
    std::vector<TreeFile> files;
    std::vector<std::string> folders;
};

// The key under which path is matched: ASCII letters in lower case.
std::string FoldedPath(const std::string& path);

// A host file time as a FILETIME (0 for a time before 1601).
std::uint64_t FileTimeTicks(std::filesystem::file_time_type time);

// The files and folders below the pack directory whose chain starts at
// first. False, with why in error, when the tree is damaged. Every entry that
// is not a directory is a file, as the patcher takes it.
bool ListPackTree(CPackFileManager& pack, std::int32_t first, Tree& tree, std::string& error);

// The regular files and folders below root, but for the files for which
// leaveOut(host path, path) is true. Symbolic links are followed, to files
// and to folders alike, as cp -L follows them: the patch carries what they
// lead to. A link that leads nowhere, or to a folder it lies in, and other
// kinds of file are passed over, each with a line in notes. False, with why in error, when a folder cannot be read or a name
// has no form in the system code page.
bool ListDiskTree(const std::filesystem::path& root,
                  const std::function<bool(const std::filesystem::path&, const std::string&)>& leaveOut, Tree& tree,
                  std::vector<std::string>& notes, std::string& error);

enum class Sameness {
    kSame,
    kDifferent,
    kUnreadable
};

struct TreeChanges {
    std::vector<std::size_t> added;         // indexes of the new tree's files
    std::vector<std::size_t> changed;       // indexes of the new tree's files
    std::vector<std::size_t> removed;       // indexes of the old tree's files
    std::vector<std::string> addedFolders;  // of the new tree, missing in the old one
    // Paths of the new tree that are a file there and a folder in the old
    // tree, or the other way round: a patch cannot make them so.
    std::vector<std::string> clashes;
    // Files and folders whose names differ only in letter case between the
    // trees, as (old path, new path), folders first: a patch cannot rename
    // them. One whose own name is the same is left out, as the folder above it
    // is listed.
    std::vector<std::pair<std::string, std::string>> renamed;
    // Set when compare could not read a pair: the new file's index.
    std::size_t unreadable = SIZE_MAX;
};

// Matches the new tree's files with the old tree's by path (a file of the
// same path as written first, else one differing in letter case) and sorts
// them out: compare tells whether a matched pair's contents are the same. The
// lists keep the trees' order. False when compare answered kUnreadable.
bool CompareTrees(const Tree& before, const Tree& after,
                  const std::function<Sameness(const TreeFile& before, const TreeFile& after)>& compare,
                  TreeChanges& changes);

// Whether a shell pattern matches path, a path below the installation in the
// system code page with slashes between components ("Logs/a.log"). "*"
// matches any characters but "/", "**" any characters ("**/" also none), "?"
// one character but "/", "[...]" one character of a set ("[!...]" or
// "[^...]" one not in it; ranges as "a-z"); a backslash makes the next
// character plain. ASCII letters match in either case, as the patcher's names
// do. A pattern without "/" or "**" is matched against the last component
// alone, so at any depth; one with them against the whole path (a "/" at its
// start changes nothing). A pattern ending in "/" matches only folders.
bool PatternMatches(const std::string& pattern, const std::string& path, bool folder);

// Takes out of tree the files and folders for which excluded(prefix + path
// with slashes, whether it is a folder) is true, and what lies below such a
// folder, prefix's own folders counting as folders above every path.
void LeaveOut(Tree& tree, const std::string& prefix,
              const std::function<bool(const std::string& path, bool folder)>& excluded);

}  // namespace mkpatch
