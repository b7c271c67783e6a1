#include "main_dialog.h"

#include <process.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "code_page.h"
#include "command_rules.h"
#include "device_rules.h"
#include "dialog_texts.h"
#include "failure_text.h"
#include "identifiers.h"
#include "installation_outcome.h"
#include "log_file.h"
#include "package_folder.h"
#include "resource.h"

namespace {

const char* const kPersistedKey =
    "Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Compatibility "
    "Assistant\\Persisted";

// Tells the Program Compatibility Assistant that this program ran as intended, so that it does
// not offer to rerun it with other settings. Only an existing list is written to.
void MarkInCompatibilityAssistant() {
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kPersistedKey, 0, KEY_READ | KEY_WRITE, &opened) !=
        ERROR_SUCCESS) {
        return;
    }
    unique_hkey key(opened);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD one = 1;
    RegSetValueExA(key.get(), path, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof one);
}

// The full path of a folder below the current directory (UTF-8); the name itself when the system
// cannot make one.
std::string full_folder(const char* name) {
    std::wstring wide = widen(name);
    DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0)
        return name;
    std::vector<wchar_t> full(size);
    DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size)
        return name;
    return narrow(full.data());
}

}  // namespace

CCorvaneDlg::CCorvaneDlg(log_file& log, failure_watch& failures)
    : CDialogEx(IDD_MAIN_DIALOG), m_log(log), m_failures(failures) {
    m_hIcon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_CORVANE));
    MarkInCompatibilityAssistant();
}

CCorvaneDlg::~CCorvaneDlg() {
    WaitForWorker();
}

void CCorvaneDlg::DoDataExchange(CDataExchange* pDX) {
    DDX_Text(pDX, IDC_EDIT_PID, m_strPid);
    DDX_Text(pDX, IDC_EDIT_VID, m_strVid);
    DDX_Control(pDX, IDC_COMBO_DEVICE, m_cbDevices);
    DDX_Text(pDX, IDC_EDIT_UID, m_strUid);
    DDX_Control(pDX, IDC_BUTTON_INSTALL, m_btnInstall);
    DDX_Control(pDX, IDC_EDIT_VID, m_editVid);
    DDX_Control(pDX, IDC_EDIT_PID, m_editPid);
    DDX_CBString(pDX, IDC_COMBO_DEVICE, m_strCombo);
    DDX_Check(pDX, IDC_CHECK_EDIT, m_bEditName);
    DDX_Text(pDX, IDC_EDIT_NAME, m_strName);
    DDX_Control(pDX, IDC_EDIT_NAME, m_editName);
    DDX_Control(pDX, IDC_EDIT_UID, m_editUid);
}

BOOL CCorvaneDlg::OnInitDialog() {
    CDialogEx::OnInitDialog();

    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, (LPARAM)m_hIcon);
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, (LPARAM)m_hIcon);

    RefreshDeviceList();  // before any other thread exists: no lock
    SetTimer(m_hWnd, 1, 1000, nullptr);
    // The progress window and the boxes are owned by the dialog.
    m_installOptions.progress_owner = m_hWnd;

    ::ShowWindow(GetDlgItem(IDC_COMBO_DEVICE), SW_SHOW);
    ::ShowWindow(GetDlgItem(IDC_EDIT_NAME), SW_HIDE);
    UpdateData(FALSE);
    return TRUE;
}

bool CCorvaneDlg::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) {
    // The message map, in its order.
    switch (message) {
        case WM_SYSCOMMAND: {
            bool handled = false;
            OnSysCommand((UINT)wparam, lparam, result, handled);
            return handled;
        }
        case WM_PAINT:
            return OnPaint();
        case WM_QUERYDRAGICON:
            result = (INT_PTR)OnQueryDragIcon();  // answered directly, not via DWLP_MSGRESULT
            return true;
        case WM_TIMER:
            OnTimer(wparam);
            return false;  // the timer message goes on to the default handling
        case WM_COMMAND: {
            UINT id = LOWORD(wparam), code = HIWORD(wparam);
            if (code == BN_CLICKED && id == IDC_BUTTON_INSTALL) {
                OnClickedInstall();
            } else if (code == CBN_SELCHANGE && id == IDC_COMBO_DEVICE) {
                OnSelchangeDevice();
            } else if (code == BN_CLICKED && id == IDC_BUTTON_EXTRACT) {
                OnClickedExtract();
            } else if (code == BN_CLICKED && id == IDC_CHECK_EDIT) {
                OnClickedEdit();
            } else {
                return CDialogEx::OnMessage(message, wparam, lparam, result);
            }
            result = TRUE;
            return true;
        }
        default:
            return false;
    }
}

void CCorvaneDlg::OnSysCommand(UINT nID, LPARAM, INT_PTR& result, bool& handled) {
    // The system menu has no command 0x0010: the about box opens only when one is sent.
    if ((nID & 0xFFF0) == 0x0010) {
        CAboutDlg about;
        about.DoModal(m_hWnd);
        result = TRUE;
        handled = true;
    }
}

bool CCorvaneDlg::OnPaint() {
    if (!IsIconic(m_hWnd))
        return false;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessageA(m_hWnd, WM_ICONERASEBKGND, (WPARAM)dc, 0);
    RECT client;
    GetClientRect(m_hWnd, &client);
    int x = (client.right - client.left - GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - GetSystemMetrics(SM_CYICON) + 1) / 2;
    DrawIcon(dc, x, y, m_hIcon);
    EndPaint(m_hWnd, &paint);
    return true;
}

HCURSOR CCorvaneDlg::OnQueryDragIcon() {
    return (HCURSOR)m_hIcon;
}

void CCorvaneDlg::OnClickedInstall() {
    StartCommand(InstallThreadProc);
}

void CCorvaneDlg::OnClickedExtract() {
    StartCommand(ExtractThreadProc);
}

void CCorvaneDlg::StartCommand(WorkerProc proc) {
    command_start outcome = start_command(
        m_bBusy, [this] { UpdateData(TRUE); }, m_strVid, m_strPid,
        [this] { return CommandDescription(); },
        [this, proc] {
            list_lock lock(m_csList);
            return StartWorker(proc);
        });
    if (const char* text = command_start_text(outcome))
        ShowMessage(text, MB_ICONERROR);
}

unsigned __stdcall CCorvaneDlg::InstallThreadProc(void* param) {
    static_cast<CCorvaneDlg*>(param)->RunCommand(&CCorvaneDlg::DoInstall);
    return 1;
}

unsigned __stdcall CCorvaneDlg::ExtractThreadProc(void* param) {
    static_cast<CCorvaneDlg*>(param)->RunCommand(&CCorvaneDlg::DoExtract);
    return 1;
}

void CCorvaneDlg::RunCommand(void (CCorvaneDlg::*body)()) {
    // The log file is this program's only log. While a command runs it takes every line, the
    // installer helper's relayed steps and the system's setup log among them (the library logs
    // those as debug lines); between commands only the refreshes run, whose per-device debug
    // lines every second would push a command's lines out of the file within minutes.
    usbdrv_set_log_threshold(USBDRV_LOG_DEBUG);
    m_failures.reset();
    (this->*body)();
    usbdrv_set_log_threshold(USBDRV_LOG_INFO);
    m_bBusy = false;
}

void CCorvaneDlg::LogCommand(const char* command, const std::string& folder,
                             const usbdrv_device_entry* target) {
    char identifiers[64];
    snprintf(identifiers, sizeof identifiers, "VID_%04X PID_%04X interface %u", m_device.vid,
             m_device.pid, (unsigned)m_device.interface_number);
    std::string line =
        std::string(command) + " for \"" + m_deviceDescription + "\" (" + identifiers + ")";
    if (target && target->device_id)
        line += std::string(", device ") + target->device_id;
    m_log.write_own(line + ", package folder " + folder);
}

std::string CCorvaneDlg::CommandDescription() const {
    // The library reads UTF-8; the fields hold the code page's text.
    if (m_bEditName)
        return code_page_to_utf8(m_strName);
    // The selected device's name as the list holds it (the user's, if given), not the combo
    // box's text, which shows its port beside it.
    for (const usbdrv_device_entry& d : m_devices) {
        if (d.device_id && m_strDeviceId == d.device_id && d.description)
            return d.description;
    }
    return code_page_to_utf8(m_strCombo);
}

void CCorvaneDlg::BuildDeviceRecord() {
    m_deviceDescription = CommandDescription();
    // The command started only with both fields checked.
    m_device = package_entry(parse_hex4(m_strVid).value_or(0), parse_hex4(m_strPid).value_or(0),
                             m_nInterface, &m_deviceDescription[0]);
    m_prepareOptions = package_options();
}

void CCorvaneDlg::DoInstall() {
    BuildDeviceRecord();
    // No fallback: a profile that names no folder is reported, and nothing is written.
    std::optional<std::u16string> profile = environment_utf16(L"USERPROFILE");
    package_folder folder = install_folder(profile ? profile->c_str() : nullptr);
    if (folder.outcome != package_folder::ok) {
        ShowMessage(package_folder_text(folder.outcome), MB_ICONERROR);
        return;
    }
    // Settled before anything is written: a device that went away is not installed, and its
    // package is not made either.
    const usbdrv_device_entry* target = device_to_install(m_devices, m_strDeviceId, m_device);
    if (!target) {
        {
            // The next tick rebuilds the list, which still shows the device that went away.
            list_lock lock(m_csList);
            m_bReloadCombo = true;
        }
        ShowMessage(kSelectionGoneText, MB_ICONERROR);
        return;
    }
    m_installTarget = *target;
    LogCommand(kInstallCommand, folder.path, target);

    usbdrv_result r =
        usbdrv_prepare_driver(&m_device, folder.path.c_str(), kInfName, &m_prepareOptions);
    if (r != USBDRV_OK) {
        ShowFailure(true, r, folder.path);
        return;
    }
    m_failures.reset();  // what the installation logs, not the preparation
    r = usbdrv_install_driver(&m_installTarget, folder.path.c_str(), kInfName, &m_installOptions);
    {
        // The device's driver has changed (or may have, even when the installation failed): the
        // next tick shows it, which a refresh of the same number of devices would not.
        list_lock lock(m_csList);
        m_bReloadCombo = true;
    }
    if (r != USBDRV_OK) {
        ShowFailure(false, r, folder.path);
    } else {
        ShowInstalled();
    }
}

void CCorvaneDlg::ShowInstalled() {
    // The helper reports success also when it bound nothing (the board was unplugged before its
    // update, or there was no board): the device's state afterwards says which it was.
    usbdrv_device_state state = {};
    if (m_installTarget.device_id)
        usbdrv_get_device_state(m_installTarget.device_id, &state);
    installation_outcome outcome = outcome_of_installation(m_installTarget.device_id, state);
    ShowMessage(installation_box_text(outcome), outcome.kind == installation_outcome::installed
                                                    ? MB_ICONINFORMATION
                                                    : MB_ICONWARNING);
}

void CCorvaneDlg::DoExtract() {
    BuildDeviceRecord();
    // Below the current directory.
    LogCommand(kExtractCommand, kPackageFolderName, nullptr);
    usbdrv_result r =
        usbdrv_prepare_driver(&m_device, kPackageFolderName, kInfName, &m_prepareOptions);
    std::string folder = full_folder(kPackageFolderName);
    if (r != USBDRV_OK) {
        ShowFailure(true, r, folder);
    } else {
        ShowMessage(extracted_box_text(folder), MB_ICONINFORMATION);
    }
}

void CCorvaneDlg::ShowFailure(bool preparation, usbdrv_result r, const std::string& folder) {
    failure_facts facts;
    facts.step = preparation ? failure_step::preparation : failure_step::installation;
    facts.result = r;
    facts.library_text = usbdrv_strerror(r);
    facts.windows_error = m_failures.windows_error();
    facts.installation_running = r == USBDRV_ERR_BUSY && usbdrv_installation_running();
    facts.folder = folder;
    std::optional<std::u16string> windows = environment_utf16(L"WINDIR");
    facts.setup_log =
        setup_log_in(windows ? narrow(reinterpret_cast<const wchar_t*>(windows->c_str())) : "");
    std::string log = m_log.path();
    if (!log.empty())
        facts.detail = "The log file " + log + " has the detail.";
    ShowMessage(failure_text(facts), MB_ICONERROR);
}

void CCorvaneDlg::ShowMessage(const std::string& text, UINT icon) {
    m_log.write_own(kBoxLinePrefix + text);
    // Wide: the text may name a folder the code page has no characters for.
    MessageBoxW(m_installOptions.progress_owner, widen(text).c_str(), widen(kBoxTitle).c_str(),
                MB_OK | icon);
}

bool CCorvaneDlg::RefuseCloseWhileBusy() {
    if (!m_bBusy)
        return false;
    // The worker still reads the dialog's members and will show its outcome; the user closes
    // that box first.
    ShowMessage(command_start_text(command_start::busy), MB_ICONERROR);
    return true;
}

void CCorvaneDlg::OnOK() {
    if (!RefuseCloseWhileBusy())
        CDialogEx::OnOK();
}

void CCorvaneDlg::OnCancel() {
    if (!RefuseCloseWhileBusy())
        CDialogEx::OnCancel();
}

bool CCorvaneDlg::StartWorker(WorkerProc proc) {
    WaitForWorker();  // the previous worker has cleared m_bBusy and is returning
    uintptr_t thread = _beginthreadex(nullptr, 0, proc, this, 0, nullptr);
    m_hWorker.reset(reinterpret_cast<HANDLE>(thread));
    return m_hWorker.valid();
}

void CCorvaneDlg::WaitForWorker() {
    if (!m_hWorker)
        return;
    WaitForSingleObject(m_hWorker.get(), INFINITE);
    m_hWorker.reset();
}

CAboutDlg::CAboutDlg() : CDialogEx(IDD_ABOUTBOX) {}
