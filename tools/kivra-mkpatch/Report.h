// What a run tells on stderr beside its faults: the progress line, shown on a
// terminal only and ended before any other line, and the warnings; and the
// patch's paths as people read them.
#pragma once

#include <cstdint>
#include <string>

namespace mkpatch {

// Notes whether stderr is a terminal, where alone progress is shown.
void FindTerminal();

// "WHAT: DONE of TOTAL UNIT" as the progress line.
void ShowProgress(const char* what, std::uint64_t done, std::uint64_t total, const char* unit);

// "WHAT: BYTES bytes" as the progress line, for a step without a count.
void ShowStep(const char* what, std::uint64_t bytes);

// Clears the progress line, when one is shown.
void EndProgressLine();

// "kivra-mkpatch: TEXT" on stderr, after the progress line.
void SayError(const std::string& text);

// "kivra-mkpatch: warning: TEXT" on stderr.
void Warn(const std::string& text);

// A path of the patch (system code page) as people read it.
std::string Shown(const std::string& path);

}  // namespace mkpatch
