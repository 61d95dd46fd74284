// The patch run: the launcher's replacement, then unpacking, the version
// checks and the transfer.
#pragma once

class CProgressDlg;

// Copies a newer "KNet.exe" from UpdaterDir into GameDir; true when it did.
// A copy that fails for any reason but a sharing violation (which is waited
// out a second at a time) shows the system's text and ends the process.
bool UpdateLauncher();
// The run. True when it ended as completed (patch applied, nothing to do, or
// any failure of a quiet run after a launcher replacement); false when it
// failed, with its message shown unless quiet.
bool RunUpdate(bool launcherReplaced, CProgressDlg* progressPanel);
bool OpenPacks(bool quiet);
bool ClosePacks();
// Shows the system's text for the last error in a message box.
void ShowLastError();
