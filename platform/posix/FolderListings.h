// The names folders hold, found in any letter case without reading a folder
// through for each name (FolderListings.cpp).
//
// A folder's listing is read once and kept for as long as it is true. The
// changes this process makes through the disk layer are told to it
// (NoteHostNameMade and the others), and a folder whose identity (device,
// inode), change and modification times, size or link count differ from
// those the listing was read or last changed at is read again: what other
// programs change is seen at the next lookup. Listings are kept for the
// folders used last, within a bound on their number and memory.
//
// Paths are host paths as the disk layer makes them: absolute, components
// joined by single slashes, "" for the root.
#pragma once

#include <cstddef>
#include <sys/stat.h>

// How a folder holds a name.
enum class HostName {
    kNone,       // in no letter case
    kAsWritten,  // as written
    kFolded,     // under another letter case of ASCII letters only
    kUnknown,    // the folder could not be read
};

// Looks for a name in a folder: path holds the folder's host path
// (folderLength bytes), a slash and the name (length bytes, up to its end).
// Where the folder holds it under another letter case only, that name is
// copied over the name in path (it has the same length); where it holds
// several, the least in byte order. folderNow, when not null, is what stat
// gave for the folder just now: a folder the process works in, read when
// it has no listing yet. Another folder with no listing is read only when
// the name is not there as written.
HostName FindHostName(char* path, std::size_t folderLength, std::size_t length, const struct stat* folderNow);

// Whether the folder at the host path folder (length bytes) has a listing
// that holds while the folder is as now says.
bool HostFolderListedAs(const char* folder, std::size_t length, const struct stat& now);

// What this process has just done through the host paths given; a folder's
// listing takes the change and the folder's new times. A rename within one
// folder looks at the folder once.
void NoteHostNameMade(const char* path);
void NoteHostNameGone(const char* path);
void NoteHostNameMoved(const char* from, const char* to);

// Drops the listing of the folder at the host path folder (length bytes,
// trailing slashes aside): it is read again when next needed. For changes
// made in numbers where the next lookup is far.
void ForgetHostFolder(const char* folder, std::size_t length);
