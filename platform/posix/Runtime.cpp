// The C runtime's names on Linux: _fileno and _isatty (platform/Win32.h).
#include <unistd.h>

#include "platform/Win32.h"

int _fileno(std::FILE* stream) { return fileno(stream); }

int _isatty(int fd) { return isatty(fd); }
