#include "app/UpdateApp.h"

#include <iterator>

#include "app/DialogTemplates.h"
#include "app/DryRun.h"
#include "app/ProgramWindows.h"
#include "app/UpdateDlg.h"
#include "version/ProductVersion.h"

CUpdateApp theApp;

namespace {

const char kHelpText[] =
    "usage: kivra-update [--dry-run] [PATCHDIR]\n"
    "       kivra-update --help | -h | --version\n"
    "\n"
    "Applies the Kivra patch in PATCHDIR to the game installed in a Wine prefix.\n"
    "PATCHDIR holds Update.pak or update.lzh, and a newer KNet.exe when the patch\n"
    "brings one; update.lzh is unpacked there (PATCHDIR may name it in place of\n"
    "its folder). Without PATCHDIR the patch is the one beside kivra-update when\n"
    "that folder holds Update.pak, update.lzh or KNet.exe, else the one in the\n"
    "current folder. A folder with none of them is refused before anything is\n"
    "done: \"no Update.pak or update.lzh in DIR\", exit status 2.\n"
    "\n"
    "    WINEPREFIX=~/.wine kivra-update ~/Downloads/kivra-patch-30\n"
    "\n"
    "The prefix is $WINEPREFIX, or ~/.wine when it is not set; the first line of\n"
    "the run names it and the game directory, the InstallPath that the game's\n"
    "installer wrote into the prefix's registry. When neither holds the game, the\n"
    "prefixes of Lutris, Bottles, Steam and PlayOnLinux that do are listed, with\n"
    "the command that runs the patch in one. The game and the launcher that this\n"
    "user runs in this prefix are closed first. Run by root (sudo) on a prefix a\n"
    "user owns, it runs as that user: what it writes there is the user's.\n"
    "\n"
    "The first line, the progress and the results go to standard output; the\n"
    "messages and what went wrong to standard error. Only someone at a terminal\n"
    "(standard input and output both terminals) is asked anything:\n"
    "  a message: Enter goes on;\n"
    "  \"Do you want to play a new Kivra net\": y or yes starts the launcher,\n"
    "    anything else (or the end of input) does not.\n"
    "Otherwise nothing is asked, and the answer is no.\n"
    "\n"
    "--dry-run checks the patch and the installation as a run does, and lists what\n"
    "it would do, without closing, unpacking into or changing anything: the\n"
    "launcher's replacement, each file it adds or replaces in the game pack and on\n"
    "disk with its size, the version before and after, and the game pack blocks\n"
    "and disk bytes needed and free. Its exit status is 0 when the patch would be\n"
    "applied, 1 when it would be refused.\n"
    "\n"
    "Exit status: 0 when the patch was applied or there was nothing to do, 1 when\n"
    "the run failed or standard output could not be written, 2 for a command\n"
    "line it cannot take or a folder without a patch.\n";

// The files that make the program's own folder the patch folder.
const char* const kPatchFiles[] = {"Update.pak", "update.lzh", "KNet.exe", nullptr};

const CWinApp::Option kOptions[] = {{"--dry-run", RunDryRun}};

}  // namespace

CUpdateApp::CUpdateApp()
{
    RegisterDialogTemplates();
    AfxRegisterProgramWindows(kProgramWindows, static_cast<int>(std::size(kProgramWindows)));
    m_pszHelpText = kHelpText;
    m_pszVersionText = "kivra-update " KIVRA_VERSION_TEXT;
    m_pOptions = kOptions;
    m_ppszWorkFolderMarks = kPatchFiles;
    // Before anything is closed: a folder without a patch is the first
    // mistake a player makes with the program on the PATH.
    m_pszNoWorkFolderText = "no Update.pak or update.lzh in %s";
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
