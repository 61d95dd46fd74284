// The Wine prefixes that game launchers make (LauncherPrefixes.cpp).
#pragma once

#include <string>
#include <vector>

// The prefixes below home that Lutris (~/Games/* and ~/Games/*/prefix),
// Bottles, Steam's Proton (steamapps/compatdata/*/pfx) and PlayOnLinux keep,
// whose registry holds the string value named value in key (a path below
// HKEY_LOCAL_MACHINE, as a 32-bit program sees it) and which hold the folder
// it names, each once, sorted.
std::vector<std::string> LauncherPrefixesHolding(const std::string& home, const std::string& key,
                                                 const std::string& value);
