// The options every tool answers alike: NAME --help prints the usage on
// stdout, NAME --version "NAME VERSION", the product's version; each alone on
// the command line, and the tool then exits 0.
#pragma once

#include <cstdio>

// Answers argv when it is "--help" or "--version" alone, printUsage writing
// the tool's usage to the stream it is given; false, having printed nothing,
// for any other command line.
bool AnswerStandardOption(int argc, char** argv, const char* tool, void (*printUsage)(std::FILE* out));
