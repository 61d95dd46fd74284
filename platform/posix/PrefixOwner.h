// The user a run writes the Wine prefix as (PrefixOwner.cpp).
//
// Root started on a prefix that a user owns (sudo keeps HOME and
// WINEPREFIX) becomes that user before anything is read or written, so
// that every file the run makes there is the user's, as if the user had run
// it, and the user's own game and launcher are the ones closed.
#pragma once

#include <string>

// Becomes the owner of the Wine prefix in use when the process runs as root
// and a user owns it (the user's groups too). True when the run may go on,
// as it was started or as the owner; false, with problem saying why, when
// root could not become the owner.
bool RunAsPrefixOwner(std::string& problem);

// The user the run became, or empty when it runs as it was started.
const std::string& PrefixOwnerRunAs();
