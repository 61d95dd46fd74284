// The message and completion tables, message boxes and the progress panel.
#include <gtest/gtest.h>

#include <cstring>
#include <iconv.h>
#include <string>

#include "app/DialogTemplates.h"
#include "app/Messages.h"
#include "app/ProgressDlg.h"
#include "app/Resource.h"
#include "platform/posix/WindowModel.h"

namespace {

// Whether the bytes are valid code page 949, read independently of the
// terminal.
bool IsCodePage949(const char* bytes)
{
    iconv_t cd = iconv_open("UTF-8", "CP949");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    char out[512] = {};
    char* in = const_cast<char*>(bytes);
    std::size_t inLeft = std::strlen(bytes);
    char* at = out;
    std::size_t outLeft = sizeof out - 1;
    const bool valid = iconv(cd, &in, &inLeft, &at, &outLeft) != static_cast<std::size_t>(-1);
    iconv_close(cd);
    return valid;
}

// The conversions of a printf format, in order ("dddd" for four %d).
std::string Conversions(const char* format)
{
    std::string kinds;
    for (const char* c = format; *c; ++c)
        if (*c == '%') kinds += *++c ? *c : '?';
    return kinds;
}

// Both tables: an entry for every id, valid code page 949, then the null
// entry that ends the table.
TEST(MessageTables, EveryIdHasAnEntryOfValidCodePage949AndTheTableEnds)
{
    const struct {
        const char* (*entry)(int);
        int last;
    } tables[] = {{GetUpdateMessage, kMessagePatchIsOlder}, {GetCompletionText, 2}};
    for (const auto& table : tables) {
        for (int id = 0; id <= table.last; ++id) {
            const char* text = table.entry(id);
            ASSERT_NE(text, nullptr) << id;
            EXPECT_TRUE(IsCodePage949(text)) << id;
            // Only the formatted entry takes arguments; every other one is
            // shown as it stands, its detail after it.
            EXPECT_EQ(Conversions(text),
                      id == kMessageNeedVersionFormat && table.entry == GetUpdateMessage ? "dddd" : "")
                << id;
        }
        EXPECT_EQ(table.entry(table.last + 1), nullptr);
    }
}

// A message box on the terminal: on standard error, where the errors go.
std::string Shown(void (*show)())
{
    testing::internal::CaptureStderr();
    show();
    return testing::internal::GetCapturedStderr();
}

TEST(ShowUpdateMessage, CaptionTextAndDetail)
{
    EXPECT_EQ(Shown([] { ShowUpdateMessage(2, ""); }), "\n[UPDATE 2]\nCannot find the route of game.\n");
    EXPECT_EQ(Shown([] { ShowUpdateMessage(8, "\n(Need Version)"); }),
              "\n[UPDATE 8]\nfile not found.\n(Need Version)\n");
    EXPECT_EQ(Shown([] { ShowUpdateMessage(6, ""); }), "\n[UPDATE 6]\nKivra Net is not completed normally.\n");
    EXPECT_EQ(Shown([] { ShowUpdateMessage(7, "\n(%s)", "C:\\Games\\Kivra\\Dev\\Kivra.pak"); }),
              "\n[UPDATE 7]\nfile open error\n(C:\\Games\\Kivra\\Dev\\Kivra.pak)\n");
    // Message 1 carries message 9's text as its format; the terminal shows it in UTF-8.
    EXPECT_EQ(Shown([] { ShowUpdateMessage(1, GetUpdateMessage(9), 1, 0, 2, 30); }),
              "\n[UPDATE 1]\n1.02 Build 30이상만 패치가 됩니다.\n");
}

TEST(ShowUpdateMessage, LongDetailIsCutSafely)
{
    const std::string text = Shown([] {
        const std::string path(400, 'p');
        ShowUpdateMessage(7, "\n(%s)", path.c_str());
    });
    // 259 bytes of detail: the line feed, the parenthesis and 257 letters.
    EXPECT_EQ(text, "\n[UPDATE 7]\nfile open error\n(" + std::string(257, 'p') + "\n");
}

TEST(ProgressPanel, DrivesItsBarAndStatus)
{
    RegisterDialogTemplates();
    CProgressDlg panel;
    testing::internal::CaptureStdout();
    ASSERT_TRUE(panel.Create(IDD_PROGRESS_DIALOG, nullptr));
    HWND bar = panel.GetDlgItem(IDC_PROGRESS);
    HWND status = panel.GetDlgItem(IDC_STATUS);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(panel.m_progress.m_hWnd, bar);
    EXPECT_EQ(status->text, "");  // the first exchange shows the empty status

    panel.SetProgressRange(10000000);  // beyond 16 bits
    panel.SetProgressPos(7654321);
    EXPECT_EQ(bar->rangeLow, 0);
    EXPECT_EQ(bar->rangeHigh, 10000000);
    EXPECT_EQ(bar->position, 7654321);

    panel.m_strStatus.Format("%s", "Version.txt");
    EXPECT_EQ(status->text, "");  // only UpdateData shows it
    panel.UpdateData(FALSE);
    EXPECT_EQ(status->text, "Version.txt");
    const std::string out = testing::internal::GetCapturedStdout();
    // Not a terminal: one plain line for each status shown.
    EXPECT_NE(out.find("[ 76%] Version.txt\n"), std::string::npos) << out;
}

}  // namespace
