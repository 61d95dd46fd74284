// How a run ends early. A refusal says why on stderr, in one line, and takes
// back what the run made: the work folder and the folders made on the way to
// it. A full Update.pak ends the run so too, and a stop signal takes back the
// same by calls a signal handler may make, then stops the process as the
// signal would have (Signals.h).
#pragma once

#include <string>

namespace mkpatch {

// "kivra-mkpatch: TEXT" on stderr, after the progress line; then the patch's
// pack is closed and the work removed. Fail yields kExitFailure, Refuse
// false.
int Fail(const std::string& text);
bool Refuse(const std::string& text);

// Has a full Update.pak and the stop signals end the run as above.
void CatchFaults();

}  // namespace mkpatch
