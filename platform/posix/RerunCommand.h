// The command that runs the program again in another Wine prefix, as the
// user typed it and quoted for the shell (RerunCommand.cpp).
#pragma once

#include <string>
#include <vector>

// Remembers how the program was started: its name as it was typed, the
// options it was given and the folder it works in (a host path, absolute).
void RememberCommandLine(const std::string& program, const std::vector<std::string>& options,
                         const std::string& folder);

// "WINEPREFIX=PREFIX PROGRAM OPTIONS... FOLDER": each word as a POSIX shell
// reads it back, so that the line can be pasted as it is.
std::string RerunCommand(const std::string& prefix);

// word as a POSIX shell reads it back: as it is when it holds only
// characters no shell takes specially, else between single quotes (a
// single quote in it as '\'').
std::string ShellQuoted(const std::string& word);
