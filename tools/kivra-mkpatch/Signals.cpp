#include "tools/kivra-mkpatch/Signals.h"

#include <csignal>

namespace mkpatch {

namespace {

// The signals that stop a run.
const int kStopSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

}  // namespace

void CatchStopSignals(void (*handler)(int signal))
{
    for (int signal : kStopSignals) std::signal(signal, handler);
}

SignalsHeld::SignalsHeld()
{
#ifndef _WIN32
    sigset_t stops;
    sigemptyset(&stops);
    for (int signal : kStopSignals) sigaddset(&stops, signal);
    sigprocmask(SIG_BLOCK, &stops, &before);
#endif
}

SignalsHeld::~SignalsHeld()
{
#ifndef _WIN32
    sigprocmask(SIG_SETMASK, &before, nullptr);
#endif
}

}  // namespace mkpatch
