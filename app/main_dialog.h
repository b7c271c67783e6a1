// The main dialog (template 102): the device list, its identifiers and the two commands.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "dialog_framework.h"
#include "usbdrv/kit.h"
#include "usbdrv/usbdrv.h"

class log_file;
class failure_watch;

class CCorvaneDlg : public CDialogEx {
public:
    // The dialog's own lines go to `log`; `failures` watches the library's lines for the Windows
    // error behind a command's failure. Both outlive the dialog.
    CCorvaneDlg(log_file& log, failure_watch& failures);
    ~CCorvaneDlg() override;

    // Starts a command's worker thread; false when none could be started. The dialog refuses to
    // close while the worker runs, and WaitForWorker lets the owner keep the dialog alive until
    // it has ended.
    typedef unsigned(__stdcall* WorkerProc)(void* dialog);
    bool StartWorker(WorkerProc proc);
    void WaitForWorker();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, INT_PTR& result) override;
    void OnOK() override;
    void OnCancel() override;

    void OnSysCommand(UINT nID, LPARAM lParam, INT_PTR& result, bool& handled);
    bool OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnTimer(UINT_PTR nIDEvent);
    void OnClickedInstall();
    void OnSelchangeDevice();
    void OnClickedExtract();
    void OnClickedEdit();

    // The commands: both handlers start a worker through StartCommand, whose body runs DoInstall
    // or DoExtract on the worker thread and clears m_bBusy when the outcome's box is closed.
    void StartCommand(WorkerProc proc);
    static unsigned __stdcall InstallThreadProc(void* param);
    static unsigned __stdcall ExtractThreadProc(void* param);
    // A worker's whole run: the body, with every library line logged while it runs; then the
    // dialog is idle again.
    void RunCommand(void (CCorvaneDlg::*body)());
    // The log line of a command about to write its package into `folder`.
    void LogCommand(const char* command, const std::string& folder,
                    const usbdrv_device_entry* target);
    void DoInstall();
    void DoExtract();
    // The description a command's package carries (UTF-8): the typed name while "Edit" is
    // ticked, else the selected device's.
    std::string CommandDescription() const;
    void BuildDeviceRecord();
    // A box titled "Driver Installation" with only OK, owned by the dialog; the text is UTF-8.
    void ShowMessage(const std::string& text, UINT icon);
    // The box of a library call that failed with `r` (the library's text, its codes and what to
    // do next), for the package folder `folder`.
    void ShowFailure(bool preparation, usbdrv_result r, const std::string& folder);
    // The box of an installation the library reported as a success: what it did to the device.
    void ShowInstalled();

    void RefreshDeviceList();
    void FillDeviceCombo();
    // Shows element j of m_devices in the edit boxes and makes it the selected device; with
    // take_interface, its interface number becomes m_nInterface too.
    void ShowDeviceFields(size_t j, bool take_interface);
    void UpdateInstallCaption(const usbdrv_device_entry& entry);
    // The name the user gave the device `device_id`; null when none.
    std::string* AliasOf(const char* device_id);
    // What the combo box shows for a listed device: its name, and its port when it is bound to
    // the serial driver (code page).
    std::string ListedText(const usbdrv_device_entry& entry);
    void ReleaseDeviceLists();
    bool RefuseCloseWhileBusy();

    // Holds m_csList for a scope.
    using list_lock = critical_section_lock;

    // Members in the order the dialog's data is laid out; all start zero, empty or null unless
    // the constructor says otherwise.
    HICON m_hIcon = nullptr;
    critical_section m_csList;
    std::string m_strPid;
    std::string m_strVid;
    std::string m_strDeviceId;
    CComboBox m_cbDevices;
    std::vector<usbdrv_device_entry> m_devices;
    // A name the user gave a device, in the library's UTF-8. The text has a block of its own, so
    // that elements of m_devices can point to it while aliases come and go.
    struct device_alias {
        std::string device_id;
        std::unique_ptr<std::string> name;
    };
    std::vector<device_alias> m_aliases;
    bool m_bReloadCombo = false;
    bool m_bAutoRefresh = true;
    std::atomic<bool> m_bBusy{false};  // set by the user-interface thread, cleared by the worker
    uint8_t m_nInterface = 0;
    usbdrv_device_entry* m_pDeviceList = nullptr;
    usbdrv_device_entry m_device = {};
    usbdrv_list_options m_listOptions = {};
    usbdrv_prepare_options m_prepareOptions = {};
    usbdrv_install_options m_installOptions = {};
    std::string m_strUid;
    int m_nShownCount = 0;
    CButton m_btnInstall;
    CEdit m_editVid;
    CEdit m_editPid;
    std::string m_strCombo;
    BOOL m_bEditName = FALSE;
    std::string m_strName;
    CEdit m_editName;
    CEdit m_editUid;

    // The running command's description for m_device (UTF-8), and its copy of the listed entry
    // it installs: renaming the device meanwhile changes the list's element, not this copy (the
    // texts it points to stay until the next refresh, which waits for the command).
    std::string m_deviceDescription;
    usbdrv_device_entry m_installTarget = {};
    // The running command's thread, kept so that the dialog outlives it.
    unique_thread m_hWorker;
    // Names replaced by a rename while a command may still hold a copy of an element pointing to
    // them; released by the next refresh, which waits for the command.
    std::vector<std::unique_ptr<std::string>> m_retiredNames;
    // What the combo box lists (code page), one text per element of m_devices as last shown:
    // a rebuild that would list the same leaves the box, its selection and an open drop-down as
    // they are. Empty while the placeholder is shown.
    std::vector<std::string> m_comboTexts;
    // Lists the library could not release yet because another process was releasing one.
    std::vector<usbdrv_device_entry*> m_unreleasedLists;
    // The placeholder is in the controls: it is written when the list becomes empty (or starts
    // so) and left alone at the refreshes after, so that identifiers typed meanwhile stay.
    bool m_bPlaceholderShown = false;
    // Where the commands' lines and boxes are logged.
    log_file& m_log;
    failure_watch& m_failures;
};

class CAboutDlg : public CDialogEx {
public:
    CAboutDlg();
};
