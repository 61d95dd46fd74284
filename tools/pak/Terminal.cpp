#include "tools/pak/Terminal.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
void SetStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }
#else
#include <unistd.h>

bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }
bool StdoutIsTerminal() { return isatty(fileno(stdout)) != 0; }
void SetStdoutBinary() {}
#endif
