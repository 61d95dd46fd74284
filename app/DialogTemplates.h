// The controls of the patcher's dialogs, for the window models on Linux.
#pragma once

// Gives the platform the patcher's dialog templates; the application does so
// when it is constructed, before its first dialog.
void RegisterDialogTemplates();
