#include "app.h"

#include <commctrl.h>

#include "main_dialog.h"

CCorvaneApp theApp;

// Left out because they have no effect without the framework that defines them: restart-manager
// support, the F1 help command, the control-container, shell and visual managers, and the
// profile registry key (nothing reads or writes profile settings).
CCorvaneApp::CCorvaneApp() = default;

HWND AfxGetMainWnd() {
    return theApp.m_pMainWnd ? theApp.m_pMainWnd->GetSafeHwnd() : nullptr;
}

BOOL CCorvaneApp::InitInstance() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    CCorvaneDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    // A command's worker may still use the dialog's data; it ends before the dialog does.
    dialog.WaitForWorker();
    m_pMainWnd = nullptr;
    return FALSE;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    theApp.InitInstance();
    return 0;
}
