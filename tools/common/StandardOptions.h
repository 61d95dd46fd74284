// The options every tool answers alike, and how each refuses a command line:
// NAME --help (or -h) prints the usage on stdout, NAME --version "NAME
// VERSION", the product's version; each alone on the command line, and the
// tool then exits 0. A command line it cannot take gets one line naming
// what is wrong and a pointer to --help, as GNU tools say it, and exit 2.
#pragma once

#include <cstdio>
#include <string>

inline constexpr int kUsageExitStatus = 2;

// Answers argv when it is "--help", "-h" or "--version" alone, printUsage
// writing the tool's usage to the stream it is given; false, having printed
// nothing, for any other command line. From then on standard output is
// checked as the tool exits (platform/StandardOutput.h).
bool AnswerStandardOption(int argc, char** argv, const char* tool, void (*printUsage)(std::FILE* out));

// "TOOL: PROBLEM" and "Try 'TOOL --help'." on stderr; kUsageExitStatus.
int UsageError(const char* tool, const std::string& problem);

// Whether word is the help option, long or short.
bool IsHelpOption(const std::string& word);
