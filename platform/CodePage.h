// Text in the system code page and in the host's own encoding.
//
// Every text of the program, every disk path the core names and every name in
// a pack is a byte string in the system code page, code page 949 (Korean).
// On Windows that is the ANSI code page: the host takes such strings as they
// are, and these conversions copy. On Linux the host names files in UTF-8
// (Wine stores a Windows file name so) and terminals show UTF-8; the posix
// side converts at its edge, and tools that carry names between a disk and a
// pack convert through these.
//
// Code page 949 never uses the bytes of '/', '\' or ':' inside a two-byte
// character, so a path splits at the same bytes in both encodings.
#pragma once

#include <string>
#include <string_view>

// Converts system code page text to the host's encoding. False when text
// holds bytes that are no text of the code page.
bool SystemToHostText(std::string_view text, std::string& out);

// Converts host text to the system code page. False when a character has no
// form in the code page (or the text is not valid in the host's encoding).
bool HostToSystemText(std::string_view text, std::string& out);

// System code page text for people to read in the host's encoding: each byte
// that is no text of the code page shows as "\xNN".
std::string SystemTextForDisplay(std::string_view text);
