// How pak says that something failed: one line on stderr, "pak: SUBJECT:
// REASON", after the progress line; the reasons given in more than one
// place; and the end of the run when the pack is full.
#pragma once

#include <string>

namespace paktool {

inline constexpr char kDamagedDirectory[] = "directory is damaged (see pak fsck)";
inline constexpr char kNotWritten[] = "cannot be written";
inline constexpr char kUnreadable[] = "cannot be read (see pak fsck)";
inline constexpr char kDotDirectory[] = "a pack directory name cannot begin with a dot";
inline constexpr char kNoCodePageForm[] = "name has a character that code page 949 lacks";

// Says why on stderr; yields kExitFailure.
int Fail(const std::string& subject, const std::string& reason);

// Fail for helpers that answer true or false.
bool Refuse(const std::string& subject, const std::string& reason);

// Refuse for a write into the pack that failed: once a transfer of the host
// file failed, that is the reason, whatever the engine call was.
bool RefuseWrite(const std::string& subject, const std::string& reason);

// The engine ends the process when the allocation table is full, after it
// has dropped the file being written: the pack keeps what it held before.
void StopWhenFull(const char*);

}  // namespace paktool
