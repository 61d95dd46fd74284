// The signals that stop a run (interrupt, terminate, hang-up), caught or held
// back while the records of what the run made change.
#pragma once

#ifndef _WIN32
#include <signal.h>
#endif

namespace mkpatch {

// Has each stop signal call handler.
void CatchStopSignals(void (*handler)(int signal));

// Keeps the stop signals waiting while it lives: the records of what the run
// made and OUTDIR change under it, so that a stop finds each as it was or as
// it became. Windows has no signal mask: there a stop may come in between.
class SignalsHeld {
public:
    SignalsHeld();
    ~SignalsHeld();
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
#ifndef _WIN32
    sigset_t before;
#endif
};

}  // namespace mkpatch
