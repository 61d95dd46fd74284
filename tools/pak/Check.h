// The verb fsck: the pack checked, its problems and lost blocks printed, and
// with --repair the lost blocks freed and a free root entry set right.
#pragma once

#include "tools/pak/VerbArgs.h"

namespace paktool {

int Check(const Args& args);

}  // namespace paktool
