// The application object: it runs the main dialog and lets the process end
// with it.
#pragma once

#include "platform/Framework.h"

class CUpdateApp : public CWinApp {
public:
    CUpdateApp();
    ~CUpdateApp() override;
    BOOL InitInstance() override;
};

extern CUpdateApp theApp;
