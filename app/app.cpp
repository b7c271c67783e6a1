#include "app.h"

#include <commctrl.h>

#include "dialog_texts.h"
#include "log_file.h"
#include "main_dialog.h"

CCorvaneApp theApp;

// Left out because they have no effect without the framework that defines them: restart-manager
// support, the F1 help command, the control-container, shell and visual managers, and the
// profile registry key (nothing reads or writes profile settings).
CCorvaneApp::CCorvaneApp() = default;

BOOL CCorvaneApp::InitInstance() {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    // The library's lines go to the log file from the first; the dialog's commands let it say
    // more while they run.
    log_file log;
    failure_watch failures;
    library_lines_to library_lines(log, failures);
    log.write_own(kStartedLine);

    CCorvaneDlg dialog(log, failures);
    dialog.DoModal();
    // A command's worker may still use the dialog's data; it ends before the dialog does.
    dialog.WaitForWorker();
    return FALSE;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    theApp.InitInstance();
    return 0;
}
