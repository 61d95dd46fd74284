// The versions a patch goes between: shown as text, and NEW's and OLD's
// checked against the need version, the oldest the patch accepts.
#pragma once

#include <string>

#include "tools/kivra-mkpatch/Installation.h"
#include "update/Version.h"

namespace mkpatch {

// "1.0.2.29".
std::string VersionText(const VersionNumber& v);

// Refuses a NEW below the need version; warns of versions the patcher
// would refuse or find nothing to do with.
bool CheckVersions(const VersionNumber& need, const Installation& before, const Installation& after);

}  // namespace mkpatch
