// Temporary files on Linux: swept up, and removed on a stop (Temporaries.cpp).
//
// Those of killed runs swept up, and those being written removed when the
// process is stopped by a signal. Host paths, of at most PATH_MAX bytes.
#pragma once

// Removes, in the folder at the host path directory, every file named
// "PREFIXpid-N.tmp" whose process no longer runs; each folder once a run
// for a prefix.
void SweepHostTemporaries(const char* directory, const char* prefix);

// The temporary at path (at most 16 at once) is removed should SIGINT,
// SIGTERM or SIGHUP stop the process before it is forgotten. Signals the
// program handles itself are left to it.
void WatchHostTemporary(const char* path);
void ForgetHostTemporary(const char* path);

// The folder at path (one at a time; null forgets it) and the files directly
// in it are removed on such a stop.
void WatchHostFolder(const char* path);

// Adds hook (at most 4) to what such a stop does before the process ends,
// after the watched temporaries are removed; it must be safe in a signal
// handler. The handlers are installed then, as by WatchHostTemporary.
void AddStopHook(void (*hook)());
