// How the texts of a pack reach people: shown in the host's encoding in
// messages, and printed on stdout with their control bytes escaped.
#pragma once

#include <string>

namespace paktool {

// A pack path or name (system code page) as people read it: in the host's
// encoding, bytes that are no text of the code page as \xNN.
std::string Shown(const std::string& text);

// Prints text with line feeds and other control bytes escaped.
void PrintEscaped(const char* text);

// Prints a text of the pack (system code page): converted for a terminal,
// as stored for a program reading the output.
void PrintPackText(const std::string& text);

}  // namespace paktool
