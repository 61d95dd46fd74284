// The process's own runtime on Linux (OwnProcess.cpp): what ExitProcess runs.
//
// Sleep, ExitProcess, GetCurrentProcessId, GetCommandLineA and
// GetModuleFileNameA are stated in platform/Win32.h; this adds what is to
// run when ExitProcess ends the process.
#pragma once

// Has ExitProcess run hook before it flushes the output and ends the
// process; hooks run in the order they were registered. A front-end with
// output of its own to finish (the terminal's open line) registers here.
void RunAtExitProcess(void (*hook)());
