// The application object: starts the program and runs the main dialog.
#pragma once

#include <windows.h>

class CDialogEx;

class CCorvaneApp {
public:
    CCorvaneApp();
    // Runs the main dialog; returns FALSE, so the program ends when the dialog closes.
    BOOL InitInstance();

    // The main dialog while it runs.
    CDialogEx* m_pMainWnd = nullptr;
};

extern CCorvaneApp theApp;

// The main window of the program (the main dialog), for every thread.
HWND AfxGetMainWnd();
