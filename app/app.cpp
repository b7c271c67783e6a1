#include "app.h"

#include <commctrl.h>

#include "log_file.h"
#include "main_dialog.h"
#include "ownership.h"

CCorvaneApp theApp;

// Left out because they have no effect without the framework that defines them: restart-manager
// support, the F1 help command, the control-container, shell and visual managers, and the
// profile registry key (nothing reads or writes profile settings).
CCorvaneApp::CCorvaneApp() = default;

HWND AfxGetMainWnd() {
    return theApp.m_pMainWnd ? theApp.m_pMainWnd->GetSafeHwnd() : nullptr;
}

void CCorvaneApp::Log(const std::string& text) {
    if (m_pLog)
        m_pLog->write("Corvane: " + text);
}

BOOL CCorvaneApp::InitInstance() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    // The library's lines go to the log file from the first; the dialog's commands let it say
    // more while they run.
    log_file log;
    m_pLog = &log;
    usbdrv_set_log_sink(&log_file::take_library_line, &log);
    scope_guard stop_logging([this] {
        usbdrv_set_log_sink(nullptr, nullptr);
        m_pLog = nullptr;
    });
    Log("started");

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
