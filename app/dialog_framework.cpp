#include "dialog_framework.h"

#include <vector>

std::string GetWindowTextString(HWND window) {
    int length = GetWindowTextLengthA(window);
    // A drop-down list reports no length for its selection text; 255 characters are read then.
    std::vector<char> text((length > 0 ? length : 255) + 1, '\0');
    GetWindowTextA(window, text.data(), (int)text.size());
    return std::string(text.data());
}

void DDX_Control(CDataExchange* pDX, int id, CWndControl& control) {
    if (!control.m_hWnd)
        control.m_hWnd = ::GetDlgItem(pDX->m_hDlg, id);
}

void DDX_Text(CDataExchange* pDX, int id, std::string& value) {
    HWND control = ::GetDlgItem(pDX->m_hDlg, id);
    if (pDX->m_bSaveAndValidate) {
        value = GetWindowTextString(control);
    } else {
        SetWindowTextA(control, value.c_str());
    }
}

void DDX_CBString(CDataExchange* pDX, int id, std::string& value) {
    HWND control = ::GetDlgItem(pDX->m_hDlg, id);
    if (pDX->m_bSaveAndValidate) {
        value = GetWindowTextString(control);
    } else if (SendMessageA(control, CB_SELECTSTRING, (WPARAM)-1, (LPARAM)value.c_str()) ==
               CB_ERR) {
        SetWindowTextA(control, value.c_str());  // ignored by a drop-down list
    }
}

void DDX_Check(CDataExchange* pDX, int id, BOOL& value) {
    HWND control = ::GetDlgItem(pDX->m_hDlg, id);
    if (pDX->m_bSaveAndValidate) {
        value = (BOOL)SendMessageA(control, BM_GETCHECK, 0, 0);
    } else {
        SendMessageA(control, BM_SETCHECK, (WPARAM)value, 0);
    }
}

INT_PTR CDialogEx::DoModal(HWND owner) {
    return DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(m_nIDTemplate), owner,
                           DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialogEx::UpdateData(BOOL save_and_validate) {
    CDataExchange exchange(m_hWnd, save_and_validate != FALSE);
    DoDataExchange(&exchange);
    return TRUE;
}

BOOL CDialogEx::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

bool CDialogEx::OnMessage(UINT message, WPARAM wparam, LPARAM, INT_PTR& result) {
    if (message != WM_COMMAND || HIWORD(wparam) != BN_CLICKED)
        return false;
    switch (LOWORD(wparam)) {
        case IDOK:
            OnOK();
            result = TRUE;
            return true;
        case IDCANCEL:
            OnCancel();
            result = TRUE;
            return true;
        default:
            return false;
    }
}

INT_PTR CALLBACK CDialogEx::DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    CDialogEx* self;
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<CDialogEx*>(lparam);
        SetWindowLongPtrA(window, DWLP_USER, lparam);
        self->m_hWnd = window;
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CDialogEx*>(GetWindowLongPtrA(window, DWLP_USER));
    if (!self)
        return FALSE;
    INT_PTR result = 0;
    if (!self->OnMessage(message, wparam, lparam, result))
        return FALSE;
    return result;
}
