// The resource script of KivraUpdate.exe: the two dialog templates as the
// Windows build compiles them, read from app/KivraUpdate.rc, and their
// agreement with the control lists of the Linux window models.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "app/DialogTemplates.h"
#include "app/Resource.h"
#include "platform/Framework.h"
#include "version/ProductVersion.h"

namespace {

// The Win32 values of the style names a dialog template may use.
const std::map<std::string, std::uint32_t> kStyleNames = {
    {"WS_POPUP", 0x80000000u},
    {"WS_CHILD", 0x40000000u},
    {"WS_VISIBLE", 0x10000000u},
    {"WS_CAPTION", 0x00C00000u},
    {"WS_BORDER", 0x00800000u},
    {"WS_SYSMENU", 0x00080000u},
    {"WS_GROUP", 0x00020000u},
    {"WS_TABSTOP", 0x00010000u},
    {"DS_SETFONT", 0x40u},
    {"DS_MODALFRAME", 0x80u},
    {"DS_CENTER", 0x0800u},
    {"SS_LEFT", 0u},
    {"SS_CENTER", 1u},
    {"SS_RIGHT", 2u},
    {"BS_PUSHBUTTON", 0u},
    {"BS_DEFPUSHBUTTON", 1u},
    {"WS_EX_TOOLWINDOW", 0x80u},
    {"WS_EX_APPWINDOW", 0x40000u},
    {"WS_EX_STATICEDGE", 0x20000u},
    {"WS_EX_CLIENTEDGE", 0x200u},
};

struct Control {
    std::string text;
    int id = 0;
    std::string className;
    std::uint32_t style = 0;
    int x = 0, y = 0, width = 0, height = 0;
    std::uint32_t exStyle = 0;
};

struct Dialog {
    int x = 0, y = 0, width = 0, height = 0;
    std::uint32_t style = 0;
    std::uint32_t exStyle = 0;
    bool hasCaption = false;
    std::string caption;
    int fontSize = 0;
    std::string fontName;
    std::vector<Control> controls;
};

std::string ReadText(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string Trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r");
    const auto last = s.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

// Splits at commas outside quotes.
std::vector<std::string> Arguments(const std::string& text)
{
    std::vector<std::string> out(1);
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted)
            out.emplace_back();
        else
            out.back() += c;
    }
    for (auto& a : out) a = Trim(a);
    return out;
}

std::string Unquote(const std::string& s)
{
    EXPECT_TRUE(s.size() >= 2 && s.front() == '"' && s.back() == '"') << s;
    return s.size() >= 2 ? s.substr(1, s.size() - 2) : s;
}

class ResourceScript {
public:
    ResourceScript()
    {
        // The ids, as app/Resource.h defines them.
        const std::regex define(R"(#define\s+(\w+)\s+(\d+))");
        const std::string header = ReadText(KIVRA_SOURCE_DIR "/app/Resource.h");
        for (std::sregex_iterator m(header.begin(), header.end(), define), end; m != end; ++m)
            ids_[(*m)[1]] = std::stoi((*m)[2]);
        Parse(ReadText(KIVRA_SOURCE_DIR "/app/KivraUpdate.rc"));
    }

    const Dialog* Find(int id) const
    {
        const auto it = dialogs_.find(id);
        return it == dialogs_.end() ? nullptr : &it->second;
    }

private:
    int Number(const std::string& token) const
    {
        if (!token.empty() && std::isdigit(static_cast<unsigned char>(token[0]))) return std::stoi(token, nullptr, 0);
        const auto it = ids_.find(token);
        EXPECT_NE(it, ids_.end()) << "unknown id " << token;
        return it == ids_.end() ? -1 : it->second;
    }

    static std::uint32_t Style(const std::string& expression)
    {
        std::uint32_t value = 0;
        std::stringstream parts(expression);
        std::string name;
        while (std::getline(parts, name, '|')) {
            name = Trim(name);
            const auto it = kStyleNames.find(name);
            EXPECT_NE(it, kStyleNames.end()) << "unknown style " << name;
            if (it != kStyleNames.end()) value |= it->second;
        }
        return value;
    }

    void Parse(const std::string& script)
    {
        std::stringstream lines(script);
        std::string line;
        Dialog* dialog = nullptr;
        bool inBody = false;
        const std::regex header(R"(^(\w+)\s+DIALOGEX\s+(.*)$)");
        std::smatch m;
        while (std::getline(lines, line)) {
            if (const auto comment = line.find("//"); comment != std::string::npos) line.erase(comment);
            line = Trim(line);
            if (line.empty()) continue;
            if (std::regex_match(line, m, header)) {
                dialog = &dialogs_[Number(m[1])];
                const auto a = Arguments(m[2]);
                EXPECT_EQ(a.size(), 4u) << line;
                if (a.size() == 4) {
                    *dialog = Dialog{};
                    dialog->x = Number(a[0]);
                    dialog->y = Number(a[1]);
                    dialog->width = Number(a[2]);
                    dialog->height = Number(a[3]);
                }
                inBody = false;
                continue;
            }
            if (!dialog) continue;
            const std::string word = line.substr(0, line.find_first_of(" \t"));
            const std::string rest = Trim(line.substr(word.size()));
            if (word == "STYLE") {
                dialog->style = Style(rest);
            } else if (word == "EXSTYLE") {
                dialog->exStyle = Style(rest);
            } else if (word == "CAPTION") {
                dialog->hasCaption = true;
                dialog->caption = Unquote(rest);
            } else if (word == "FONT") {
                const auto a = Arguments(rest);
                dialog->fontSize = Number(a[0]);
                dialog->fontName = Unquote(a[1]);
            } else if (word == "BEGIN") {
                inBody = true;
            } else if (word == "END") {
                dialog = nullptr;
            } else if (inBody && word == "CONTROL") {
                const auto a = Arguments(rest);
                EXPECT_TRUE(a.size() == 8 || a.size() == 9) << line;
                if (a.size() < 8) continue;
                Control c{Unquote(a[0]), Number(a[1]), Unquote(a[2]),
                          Style(a[3]),   Number(a[4]), Number(a[5]),
                          Number(a[6]),  Number(a[7]), a.size() == 9 ? Style(a[8]) : 0u};
                dialog->controls.push_back(c);
            } else if (inBody) {
                ADD_FAILURE() << "a control that is not written as CONTROL: " << line;
            }
        }
    }

    std::map<std::string, int> ids_;
    std::map<int, Dialog> dialogs_;
};

void ExpectControl(const Dialog& dialog, std::size_t index, int id, const char* className, const char* text, int x,
                   int y, int width, int height, std::uint32_t style)
{
    ASSERT_LT(index, dialog.controls.size());
    const Control& c = dialog.controls[index];
    SCOPED_TRACE("control " + std::to_string(id));
    EXPECT_EQ(c.id, id);
    EXPECT_EQ(c.className, className);
    EXPECT_EQ(c.text, text);
    EXPECT_EQ((std::vector<int>{c.x, c.y, c.width, c.height}), (std::vector<int>{x, y, width, height}));
    EXPECT_EQ(c.style, style) << std::hex << c.style;
    EXPECT_EQ(c.exStyle, 0u);
}

TEST(ResourceScript, MainDialogTemplate)
{
    const ResourceScript script;
    const Dialog* d = script.Find(IDD_UPDATE_DIALOG);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ((std::vector<int>{d->x, d->y, d->width, d->height}), (std::vector<int>{0, 0, 215, 71}));
    // Popup, visible, caption, system menu, centred on the screen; the font.
    EXPECT_EQ(d->style, 0x90C80840u) << std::hex << d->style;
    // Tool window, application window, static edge.
    EXPECT_EQ(d->exStyle, 0x00060080u) << std::hex << d->exStyle;
    EXPECT_EQ(d->caption, "<UPDATE>");
    EXPECT_EQ(d->fontSize, 8);
    EXPECT_EQ(d->fontName, "MS Sans Serif");

    ASSERT_EQ(d->controls.size(), 4u);
    // Child, visible, group, text centred.
    ExpectControl(*d, 0, 1004, "Static", "Static", 10, 11, 194, 24, 0x50020001u);
    // Child, visible, tab stop: push buttons.
    ExpectControl(*d, 1, 1006, "Button", "Yes", 41, 46, 50, 14, 0x50010000u);
    ExpectControl(*d, 2, 1007, "Button", "No", 120, 46, 50, 14, 0x50010000u);
    ExpectControl(*d, 3, 1008, "Button", "OK", 80, 46, 50, 14, 0x50010000u);
}

TEST(ResourceScript, ProgressPanelTemplate)
{
    const ResourceScript script;
    const Dialog* d = script.Find(IDD_PROGRESS_DIALOG);
    ASSERT_NE(d, nullptr);
    // Exactly the main dialog's size: the panel fills its client area.
    EXPECT_EQ((std::vector<int>{d->x, d->y, d->width, d->height}), (std::vector<int>{0, 0, 215, 71}));
    // Child, visible; the font; no caption.
    EXPECT_EQ(d->style, 0x50000040u) << std::hex << d->style;
    EXPECT_EQ(d->exStyle, 0u);
    EXPECT_FALSE(d->hasCaption);
    EXPECT_EQ(d->fontSize, 8);
    EXPECT_EQ(d->fontName, "MS Sans Serif");

    ASSERT_EQ(d->controls.size(), 2u);
    // Child, visible, border.
    ExpectControl(*d, 0, 1000, "msctls_progress32", "Progress1", 7, 47, 201, 15, 0x50800000u);
    // Child, visible, group, text left-aligned.
    ExpectControl(*d, 1, 1003, "Static", "Static", 15, 34, 189, 9, 0x50020000u);
}

// The message static shows completion text 1 with the version summary: three
// lines of the dialog's font, each 8 vertical dialog units (the font's
// height, which the units are made from), inside the dialog and clear of the
// buttons below it.
TEST(ResourceScript, MessageHoldsThreeLinesAboveTheButtons)
{
    const ResourceScript script;
    const Dialog* d = script.Find(IDD_UPDATE_DIALOG);
    ASSERT_NE(d, nullptr);
    const Control* message = nullptr;
    for (const Control& c : d->controls)
        if (c.id == IDC_MESSAGE) message = &c;
    ASSERT_NE(message, nullptr);
    EXPECT_GE(message->height, 3 * 8);
    EXPECT_GE(message->y, 0);
    EXPECT_LE(message->x + message->width, d->width);
    for (const Control& c : d->controls) {
        if (c.id == IDC_MESSAGE) continue;
        SCOPED_TRACE("button " + std::to_string(c.id));
        EXPECT_LE(message->y + message->height, c.y);
        EXPECT_LE(c.y + c.height, d->height);
    }
}

// The Linux window models list the same controls, in the same order.
TEST(ResourceScript, AgreesWithTheWindowModels)
{
    const ResourceScript script;
    RegisterDialogTemplates();
    for (const UINT id : {IDD_UPDATE_DIALOG, IDD_PROGRESS_DIALOG}) {
        SCOPED_TRACE("dialog " + std::to_string(id));
        const Dialog* resource = script.Find(static_cast<int>(id));
        const DialogTemplate* model = AfxFindDialogTemplate(id);
        ASSERT_NE(resource, nullptr);
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(model->caption, resource->caption);
        EXPECT_EQ(model->child, (resource->style & 0x40000000u) != 0);
        ASSERT_EQ(static_cast<std::size_t>(model->controlCount), resource->controls.size());
        for (int i = 0; i < model->controlCount; ++i) {
            const Control& c = resource->controls[static_cast<std::size_t>(i)];
            EXPECT_EQ(model->controls[i].id, c.id);
            EXPECT_EQ(model->controls[i].text, c.text);
            EXPECT_EQ(model->controls[i].className, c.className);
        }
    }
}

// kivra-update --version prints the version the Windows build carries: the
// script takes its numbers and strings from version/ProductVersion.h, and
// what they become there is the --version text's numbers.
TEST(ResourceScript, VersionAgreesWithKivraUpdateVersion)
{
    std::string numbers;
    for (const char c : std::string(KIVRA_VERSION_TEXT)) numbers += c == '.' ? std::string(", ") : std::string(1, c);
    const int parts[] = {KIVRA_VERSION_NUMBERS};
    std::string fileVersion;
    for (const int part : parts) fileVersion += (fileVersion.empty() ? "" : ", ") + std::to_string(part);
    EXPECT_EQ(fileVersion, numbers);
    EXPECT_EQ(std::string(KIVRA_VERSION_RESOURCE_TEXT), numbers);
    const std::string text = ReadText(KIVRA_SOURCE_DIR "/app/KivraUpdate.rc");
    for (const char* line :
         {"#include \"version/ProductVersion.h\"", "FILEVERSION KIVRA_VERSION_NUMBERS",
          "PRODUCTVERSION KIVRA_VERSION_NUMBERS", "VALUE \"FileVersion\", KIVRA_VERSION_RESOURCE_TEXT",
          "VALUE \"ProductVersion\", KIVRA_VERSION_RESOURCE_TEXT"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

}  // namespace
