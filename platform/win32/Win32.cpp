// On Windows the platform layer is the system's own API; this unit only gives
// the library a body.
#include "platform/Win32.h"
