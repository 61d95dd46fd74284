// Whether what a program wrote to standard output reached it: a full disk,
// /dev/full or a file system that fails a write leave a listing or a
// summary cut short, and the program is not to say it succeeded then.
#pragma once

// From the call on, the process checks standard output as it exits (after
// main returns, or exit is called): when a write to it failed, or its last
// flush does, "PROGRAM: standard output: cannot be written (REASON)" goes to
// standard error and the exit status becomes 1. Called once, first thing in
// main; program names the program in that line.
void CheckStandardOutputAtExit(const char* program);
