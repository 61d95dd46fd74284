#include "app/UpdateApp.h"

#include <iterator>

#include "app/DialogTemplates.h"
#include "app/DryRun.h"
#include "app/ProgramWindows.h"
#include "app/Resource.h"
#include "app/UpdateDlg.h"

CUpdateApp theApp;

namespace {

const char kHelpText[] =
    "usage: kivra-update [--dry-run | --help | --version]\n"
    "\n"
    "Applies the Kivra patch that lies beside this program to the game installed in\n"
    "a Wine prefix. Put kivra-update in the patch folder, beside Update.pak or\n"
    "update.lzh (and a newer KNet.exe when the patch brings one), and run it from\n"
    "that folder: update.lzh is unpacked into the folder it is started in, and\n"
    "Update.pak and KNet.exe are taken from the folder kivra-update is in.\n"
    "\n"
    "    cd PATCH-FOLDER && WINEPREFIX=~/.wine ./kivra-update\n"
    "\n"
    "The prefix is $WINEPREFIX, or ~/.wine when it is not set; the first line of\n"
    "the run names it and the game directory, the InstallPath that the game's\n"
    "installer wrote into the prefix's registry. The game and the launcher that\n"
    "this user runs in this prefix are closed first.\n"
    "\n"
    "Answers it reads, from the terminal or from standard input:\n"
    "  a message: Enter (on a terminal) goes on;\n"
    "  \"Do you want to play a new Kivra net\": y or yes starts the launcher, anything\n"
    "    else (or the end of input) does not;\n"
    "  a file of update.lzh that cannot be created: another name, or an empty line\n"
    "    to leave it out.\n"
    "\n"
    "--dry-run checks the patch and the installation as a run does, and lists what\n"
    "it would do, without closing, unpacking into or changing anything: the\n"
    "launcher's replacement, each file it adds or replaces in the game pack and on\n"
    "disk with its size, the version before and after, and the game pack blocks\n"
    "and disk bytes needed and free. Its exit status is 0 when the patch would be\n"
    "applied, 1 when it would be refused.\n"
    "\n"
    "Exit status: 0 when the patch was applied or there was nothing to do, 1 when\n"
    "the run failed.\n";

const CWinApp::Option kOptions[] = {{"--dry-run", RunDryRun}};

}  // namespace

CUpdateApp::CUpdateApp()
{
    RegisterDialogTemplates();
    AfxRegisterProgramWindows(kProgramWindows, static_cast<int>(std::size(kProgramWindows)));
    m_pszHelpText = kHelpText;
    m_pszVersionText = "kivra-update " KIVRA_UPDATE_VERSION_TEXT;
    m_pOptions = kOptions;
    m_nOptions = static_cast<int>(std::size(kOptions));
}

CUpdateApp::~CUpdateApp() = default;

BOOL CUpdateApp::InitInstance()
{
    CUpdateDlg dialog(nullptr);
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
    // No message loop of the application's own: the process ends here.
    return FALSE;
}
