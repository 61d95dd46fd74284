// Paths in the pack: typed ones read into their components, and the
// engine's text for them, "Z:\a\b", checked to fit its path buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace paktool {

// A pack path as its components, from the root.
using PackPath = std::vector<std::string>;

// Splits "a/b", "\a\b" or "" (the root), typed in the host's encoding, into
// components in the system code page; false after saying why when one cannot
// be a pack name or the path is too long for the engine.
bool ParsePackPath(const std::string& typed, PackPath& path);

// The engine's text for the first count components: "Z:\a\b", "Z:\" for the
// root.
std::string EnginePath(const PackPath& path, std::size_t count = SIZE_MAX);

// Whether the engine takes path whole (its paths have fewer than 260 bytes);
// false after saying why.
bool PathFitsEngine(const PackPath& path);

// The engine's text for relative (backslashes) below base.
std::string EnginePathBelow(const PackPath& base, const std::string& relative);

bool EndsWithSeparator(const std::string& text);

}  // namespace paktool
