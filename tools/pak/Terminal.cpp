// The console facts that differ between systems (Terminal.h).
#include "tools/pak/Terminal.h"

#include <cstdio>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace paktool {

#ifdef _WIN32
bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }
bool StdoutIsTerminal() { return _isatty(_fileno(stdout)) != 0; }
void SetStdoutBinary() { _setmode(_fileno(stdout), _O_BINARY); }
#else
bool StderrIsTerminal() { return isatty(fileno(stderr)) != 0; }
bool StdoutIsTerminal() { return isatty(fileno(stdout)) != 0; }
void SetStdoutBinary() {}
#endif

}  // namespace paktool
