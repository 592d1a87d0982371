// SPDX-License-Identifier: LGPL-2.1-or-later
// The application object and the framework's initialisation.
#ifndef NETID_FRAMEWORK_APP_H
#define NETID_FRAMEWORK_APP_H

#include "object.h"

class CWinApp : public CObject {
    DECLARE_DYNAMIC(CWinApp)
public:
    explicit CWinApp(LPCSTR appName = nullptr);
    ~CWinApp() override;
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    LPCSTR m_pszAppName;
    HINSTANCE m_hInstance = nullptr;
    LPSTR m_lpCmdLine = nullptr;
    int m_nCmdShow = 0;
};

// The one application object of the process, or null when none exists.
CWinApp* AfxGetApp();

// Initialises the framework for this process: records the module instance,
// the command line and the show command in the application object. Fails
// (FALSE) without a module instance.
BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow);

#endif
