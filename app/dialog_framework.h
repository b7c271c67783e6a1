// The little of a dialog framework that the front end needs, done explicitly on plain Win32: a
// modal ANSI dialog whose window procedure hands each message to the class, data exchange
// between controls and members in one DoDataExchange, and control objects bound to their
// windows. Texts are in the system code page, as everywhere in the front end.
#pragma once

#include <windows.h>

#include <string>

// The direction of one data exchange: controls to members (save) or members to controls.
class CDataExchange {
public:
    CDataExchange(HWND dialog, bool save) : m_hDlg(dialog), m_bSaveAndValidate(save) {}
    HWND m_hDlg;
    bool m_bSaveAndValidate;
};

// A control of the dialog, bound to its window by DDX_Control.
class CWndControl {
public:
    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT Send(UINT message, WPARAM wparam = 0, LPARAM lparam = 0) const {
        return SendMessageA(m_hWnd, message, wparam, lparam);
    }
    void SetWindowText(const std::string& text) const { ::SetWindowTextA(m_hWnd, text.c_str()); }
    void ShowWindow(int command) const { ::ShowWindow(m_hWnd, command); }
    void EnableWindow(BOOL enable) const { ::EnableWindow(m_hWnd, enable); }
};

class CComboBox : public CWndControl {};
class CButton : public CWndControl {};
class CEdit : public CWndControl {
public:
    void SetReadOnly(BOOL read_only) const { Send(EM_SETREADONLY, read_only); }
};

void DDX_Control(CDataExchange* pDX, int id, CWndControl& control);
void DDX_Text(CDataExchange* pDX, int id, std::string& value);
// For a drop-down list: saving reads the selected item's text; loading selects the first item
// that begins with the text.
void DDX_CBString(CDataExchange* pDX, int id, std::string& value);
void DDX_Check(CDataExchange* pDX, int id, BOOL& value);

// A window text in the system code page.
std::string GetWindowTextString(HWND window);

// A modal dialog from a template of this module. The class's OnMessage sees every message of the
// dialog procedure first.
class CDialogEx {
public:
    explicit CDialogEx(UINT template_id) : m_nIDTemplate(template_id) {}
    virtual ~CDialogEx() = default;
    CDialogEx(const CDialogEx&) = delete;
    CDialogEx& operator=(const CDialogEx&) = delete;

    // Runs the dialog's own message loop until EndDialog; returns its result, or -1 when the
    // dialog could not be created.
    INT_PTR DoModal(HWND owner = nullptr);
    HWND GetSafeHwnd() const { return m_hWnd; }
    BOOL UpdateData(BOOL save_and_validate = TRUE);
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }

protected:
    virtual void DoDataExchange(CDataExchange*) {}
    // Runs the data exchange towards the controls once; returning TRUE lets the system set the
    // focus.
    virtual BOOL OnInitDialog();
    // Answers one message. Return true when handled, with result as the dialog procedure's
    // answer (most messages: SetWindowLongPtr DWLP_MSGRESULT; a few return it directly).
    virtual bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result);
    // Esc and Enter arrive as IDCANCEL and IDOK; both end the dialog.
    virtual void OnOK() { EndDialog(m_hWnd, IDOK); }
    virtual void OnCancel() { EndDialog(m_hWnd, IDCANCEL); }

    HWND m_hWnd = nullptr;

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    UINT m_nIDTemplate;
};
