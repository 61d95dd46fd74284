// The files of an installation's two trees, the pack's "Kivra_Pak" tree and
// the disk files below the game directory, and what differs between an old
// and a new installation's tree.
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
};

struct Tree {
    std::vector<TreeFile> files;
    std::vector<std::string> folders;
};

// The key under which path is matched: ASCII letters in lower case.
std::string FoldedPath(const std::string& path);

// The files and folders below the pack directory whose chain starts at
// first. False, with why in error, when the tree is damaged. Every entry that
// is not a directory is a file, as the patcher takes it.
bool ListPackTree(CPackFileManager& pack, std::int32_t first, Tree& tree, std::string& error);

// The regular files and folders below root, but for the files for which
// leaveOut(host path, path) is true. Symbolic links to files are followed;
// links to folders and other kinds of file are passed over, each with a line
// in notes. False, with why in error, when a folder cannot be read or a name
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

}  // namespace mkpatch
