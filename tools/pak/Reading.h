// The verbs that read the pack and leave it as it was: info, ls, tree, get,
// cat and export.
#pragma once

#include "tools/pak/VerbArgs.h"

namespace paktool {

int Info(const Args& args);
int List(const Args& args);
int Tree(const Args& args);
int Get(const Args& args);
int Cat(const Args& args);
int Export(const Args& args);

}  // namespace paktool
