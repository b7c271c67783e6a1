// The application object: starts the program and runs the main dialog.
#pragma once

#include <windows.h>

class CDialogEx;

class CTovrel_DFU_VuroviRirevudApp {
public:
    CTovrel_DFU_VuroviRirevudApp();
    // Runs the main dialog; returns FALSE, so the program ends when the dialog closes.
    BOOL InitInstance();

    // The main dialog while it runs.
    CDialogEx* m_pMainWnd = nullptr;
};

extern CTovrel_DFU_VuroviRirevudApp theApp;

// The main window of the program (the main dialog), for every thread.
HWND AfxGetMainWnd();
