// The application object: starts the program and runs the main dialog.
#pragma once

#include <windows.h>

class CCorvaneApp {
public:
    CCorvaneApp();
    // Runs the main dialog; returns FALSE, so the program ends when the dialog closes.
    BOOL InitInstance();
};

extern CCorvaneApp theApp;
