// The application object: starts the program and runs the main dialog.
#pragma once

#include <windows.h>

#include <string>

class CDialogEx;
class log_file;

class CCorvaneApp {
public:
    CCorvaneApp();
    // Runs the main dialog; returns FALSE, so the program ends when the dialog closes.
    BOOL InitInstance();

    // Writes one of the program's own lines to the log file, while there is one.
    void Log(const std::string& text);

    // The main dialog while it runs.
    CDialogEx* m_pMainWnd = nullptr;
    // Where the library's lines and the program's own go while the dialog runs (see log_file.h).
    log_file* m_pLog = nullptr;
};

extern CCorvaneApp theApp;

// The main window of the program (the main dialog), for every thread.
HWND AfxGetMainWnd();
