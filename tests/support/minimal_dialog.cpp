// The refresh benchmark's reference for Corvane.exe's working set: a plain Win32 dialog of the
// main dialog's size with a few controls (minimal_dialog.rc), common controls initialised and a
// message loop, nothing else. Esc, Enter or closing it ends the program.
#include <windows.h>
#include <commctrl.h>

namespace {

INT_PTR CALLBACK dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                DestroyWindow(dialog);
                return TRUE;
            }
            return FALSE;
        case WM_DESTROY:
            PostQuitMessage(0);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_WIN95_CLASSES;
    InitCommonControlsEx(&controls);

    HWND dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(1), nullptr, dialog_proc, 0);
    if (!dialog)
        return 1;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageA(dialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return 0;
}
