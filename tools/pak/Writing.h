// The verbs that change the pack or make it: create, mkdir, put, rm and
// import.
#pragma once

#include "tools/pak/VerbArgs.h"

namespace paktool {

int Create(const Args& args);
int MakeDirectory(const Args& args);
int Put(const Args& args);
int Remove(const Args& args);
int Import(const Args& given);

}  // namespace paktool
