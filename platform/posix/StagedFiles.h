// The staged set of replacements on Linux (StagedFiles.cpp): temporaries
// kept whole until they take their files' places together.
#pragma once

#include <sys/types.h>

// Takes the temporary at the host path temporary, closed and whole, into
// the set, to take the place of the file at the host path target; device is
// the volume it lies on. False when it cannot be kept (no memory); the
// caller then removes it.
bool StageHostReplacement(const char* temporary, const char* target, dev_t device);
