// SPDX-License-Identifier: LGPL-2.1-or-later
#include "framework/app.h"

IMPLEMENT_DYNAMIC(CWinApp, CObject)

namespace {
CWinApp* g_pApp = nullptr;
}

CWinApp::CWinApp(LPCSTR appName) : m_pszAppName(appName)
{
    if (g_pApp == nullptr) {
        g_pApp = this;
    }
}

CWinApp::~CWinApp()
{
    if (g_pApp == this) {
        g_pApp = nullptr;
    }
}

CWinApp* AfxGetApp() { return g_pApp; }

BOOL AfxWinInit(HINSTANCE hInstance, HINSTANCE, LPSTR lpCmdLine, int nCmdShow)
{
    if (hInstance == nullptr) {
        return FALSE;
    }
    if (CWinApp* app = AfxGetApp()) {
        app->m_hInstance = hInstance;
        app->m_lpCmdLine = lpCmdLine;
        app->m_nCmdShow = nCmdShow;
    }
    return TRUE;
}
