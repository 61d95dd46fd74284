// The controls of the patcher's dialogs, for the window models on Linux. On
// Windows the resource script lays them out; the ids, classes and texts here
// are the same.
#include "app/DialogTemplates.h"

#include <iterator>

#include "app/Resource.h"
#include "platform/Framework.h"

namespace {

const ControlTemplate kUpdateControls[] = {
    {IDC_MESSAGE, "Static", "Static"},
    {IDC_BUTTON_YES, "Button", "Yes"},
    {IDC_BUTTON_NO, "Button", "No"},
    {IDC_BUTTON_OK, "Button", "OK"},
};

const ControlTemplate kProgressControls[] = {
    {IDC_PROGRESS, "msctls_progress32", "Progress1"},
    {IDC_STATUS, "Static", "Static"},
};

const DialogTemplate kTemplates[] = {
    {IDD_UPDATE_DIALOG, "<UPDATE>", false, kUpdateControls, 4},
    {IDD_PROGRESS_DIALOG, "", true, kProgressControls, 2},
};

}  // namespace

void RegisterDialogTemplates() { AfxRegisterDialogTemplates(kTemplates, static_cast<int>(std::size(kTemplates))); }
