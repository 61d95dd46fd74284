// The C runtime's names for what the C library here calls otherwise.
#include <unistd.h>

#include "platform/Win32.h"

int _fileno(std::FILE* stream) { return fileno(stream); }

int _isatty(int fd) { return isatty(fd); }
