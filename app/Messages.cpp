// The texts the user reads. The Korean ones are code page 949 bytes.
#include "app/Messages.h"

#include <cstdarg>
#include <cstdio>

#include "platform/Framework.h"

namespace {

const char* const UpdateMessageTable[] = {
    "UPDATE",
    "",
    "Cannot find the route of game.",
    "It has exceeded the maximum waiting time of kivra.exe.",
    "It has exceeded the maximum waiting time of knet.exe.",
    "Cannot find the version of Kivra net.",
    "Kivra Net is not completed normally.",
    "file open error",
    "file not found.",
    // "%d.%d%d Build %d" and: only this version or later can be patched.
    "%d.%d%d Build %d"
    "\xC0\xCC\xBB\xF3\xB8\xB8 \xC6\xD0\xC4\xA1\xB0\xA1 \xB5\xCB\xB4\xCF\xB4\xD9.",
    // The version to be patched is the older version.
    "\xC6\xD0\xC4\xA1\xC7\xCF\xB7\xC1\xB4\xC2 \xB9\xF6\xC1\xAF\xC0\xCC \xB4\xF5 "
    "\xBF\xC0\xB7\xA1\xB5\xC8 \xB9\xF6\xC1\xAF\xC0\xD4\xB4\xCF\xB4\xD9.",
    nullptr,
};

const char* const CompletionTextTable[] = {
    "UPDATE Message",
    "Update is completed.\nDo you want to play a new Kivra net ",
    "Update is completed.",
    nullptr,
};

}  // namespace

const char* GetUpdateMessage(int index) { return UpdateMessageTable[index]; }

const char* GetCompletionText(int index) { return CompletionTextTable[index]; }

void ShowUpdateMessage(int id, const char* format, ...)
{
    // A detail longer than the buffer is cut at its end.
    char detail[260];
    va_list args;
    va_start(args, format);
    std::vsnprintf(detail, sizeof detail, format, args);
    va_end(args);

    char caption[64];
    std::snprintf(caption, sizeof caption, "%s %d", UpdateMessageTable[kMessageCaption], id);
    CString text;
    text.Format("%s%s", UpdateMessageTable[id], detail);

    CWnd* owner = AfxGetMainWnd();
    ShowMessageBox(owner ? owner->m_hWnd : nullptr, text, caption, MB_OK);
}
