// The numbered update messages and the completion texts.
#pragma once

#include "update/UpdateUi.h"

// The message ids are the update procedure's (update/UpdateUi.h).
// Entry index of UpdateMessageTable (0 to 10); no check of the index.
const char* GetUpdateMessage(int index);
// Entry index of CompletionTextTable (0 to 2); no check of the index.
const char* GetCompletionText(int index);

// Shows message id with a detail formatted from format and the arguments
// (printf rules, cut to 259 bytes) in a message box owned by the main window,
// captioned "UPDATE <id>", with one OK button.
void ShowUpdateMessage(int id, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
