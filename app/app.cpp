#include "app.h"

#include <commctrl.h>

#include "main_dialog.h"

CTovrel_DFU_VuroviRirevudApp theApp;

// Left out because they have no effect without the framework that defines them: restart-manager
// support, the F1 help command, the control-container, shell and visual managers, and the
// profile registry key (nothing reads or writes profile settings).
CTovrel_DFU_VuroviRirevudApp::CTovrel_DFU_VuroviRirevudApp() = default;

HWND AfxGetMainWnd() {
    return theApp.m_pMainWnd ? theApp.m_pMainWnd->GetSafeHwnd() : nullptr;
}

BOOL CTovrel_DFU_VuroviRirevudApp::InitInstance() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    CTovrel_DFU_VuroviRirevudDlg dialog;
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
