// The names temporaries take beside the files they stand for:
// "PREFIXpid-N.tmp" ("~kivra1234-0.tmp"), the process that writes it and a
// counter of its own, so that two writers never take one name and what a
// killed run left can be told by its process.
#pragma once

#include <cstddef>

// The directory part of out (its first directoryLength bytes) followed by
// "PREFIXpid-N.tmp"; false when it does not fit in size bytes.
bool MakeTemporaryName(char* out, std::size_t size, const char* directory, std::size_t directoryLength,
                       const char* prefix, unsigned long pid, unsigned long counter);

// The process id that name carries when it is exactly such a name of
// prefix, else 0.
unsigned long TemporaryNameProcess(const char* name, const char* prefix);
