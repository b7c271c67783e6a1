// The device list of the main dialog: the connected CDC interfaces, refreshed every second, the
// selection, the identifiers shown for it, and the names the user gives devices. The elements of
// m_devices keep the library's UTF-8 (a user's name too, converted when it is stored), so that an
// installation gets them as the library reads them; the controls get the code page's text.
#include "code_page.h"
#include "device_rules.h"
#include "dialog_texts.h"
#include "identifiers.h"
#include "installation_outcome.h"
#include "main_dialog.h"
#include "resource.h"

namespace {

std::string text_or_empty(const char* text) {
    return text ? text : "";
}

// Sets a control's text only when it shows another: setting the same text again still moves an
// edit box's caret, drops its selection and repaints it.
void show_text(const CWndControl& control, const std::string& text) {
    if (GetWindowTextString(control.m_hWnd) != text)
        control.SetWindowText(text);
}

}  // namespace

void CCorvaneDlg::ReleaseDeviceLists() {
    // A list meets the library busy only while another process releases one of its own, for
    // microseconds; it is released at a later tick instead of being lost. Compacted in place, so
    // that a tick allocates nothing for lists that were released at once.
    size_t held = 0;
    for (usbdrv_device_entry* list : m_unreleasedLists) {
        if (usbdrv_destroy_list(list) == USBDRV_ERR_BUSY)
            m_unreleasedLists[held++] = list;
    }
    m_unreleasedLists.resize(held);
    if (m_pDeviceList && usbdrv_destroy_list(m_pDeviceList) == USBDRV_ERR_BUSY)
        m_unreleasedLists.push_back(m_pDeviceList);
    m_pDeviceList = nullptr;
}

std::string* CCorvaneDlg::AliasOf(const char* device_id) {
    if (!device_id)
        return nullptr;
    for (device_alias& alias : m_aliases) {
        if (alias.device_id == device_id)
            return alias.name.get();
    }
    return nullptr;
}

void CCorvaneDlg::RefreshDeviceList() {
    m_listOptions.include_with_driver = 1;
    m_listOptions.include_hubs = 1;
    m_listOptions.trim_trailing_space = 1;

    // The elements keep their capacity from tick to tick; what they pointed to goes now.
    m_devices.clear();
    m_retiredNames.clear();
    ReleaseDeviceLists();

    if (usbdrv_create_list(&m_pDeviceList, &m_listOptions) == USBDRV_OK) {
        for (const usbdrv_device_entry* e = m_pDeviceList; e; e = e->next) {
            if (!is_cdc_interface(*e))
                continue;
            m_devices.push_back(*e);
            if (std::string* name = AliasOf(e->device_id))
                m_devices.back().description = &(*name)[0];
        }
    }

    // A name lives until the first refresh that does not list its device.
    for (size_t i = 0; i < m_aliases.size();) {
        bool listed = false;
        for (const usbdrv_device_entry& d : m_devices) {
            listed |= d.device_id && m_aliases[i].device_id == d.device_id;
        }
        if (listed) {
            i++;
        } else {
            m_aliases.erase(m_aliases.begin() + i);
        }
    }

    FillDeviceCombo();
}

void CCorvaneDlg::FillDeviceCombo() {
    if (m_devices.empty()) {
        // The placeholder is written once, when the list becomes empty or starts so: a user
        // types the identifiers of a board that is not connected into its boxes, and the next
        // refresh must not take them back. Nothing else changes while the list stays empty.
        m_bReloadCombo = false;
        if (m_bPlaceholderShown)
            return;
        m_bPlaceholderShown = true;
        m_comboTexts.clear();
        ::EnableWindow(GetDlgItem(IDC_CHECK_EDIT), FALSE);
        m_cbDevices.Send(CB_RESETCONTENT);
        m_cbDevices.Send(CB_ADDSTRING, 0, (LPARAM)kPlaceholderName);
        m_editName.SetWindowText(kPlaceholderName);
        m_btnInstall.SetWindowText(kInstallCaption);
        m_cbDevices.Send(CB_SETCURSEL, 0);
        m_nInterface = kPlaceholderInterface;
        m_editVid.SetReadOnly(FALSE);
        m_editPid.SetReadOnly(FALSE);
        m_strPid = hex4_text(kPlaceholderPid);
        m_strVid = hex4_text(kPlaceholderVid);
        m_editVid.SetWindowText(m_strVid);
        m_editPid.SetWindowText(m_strPid);
        m_strUid.clear();
        m_editUid.SetWindowText(m_strUid);
        m_strDeviceId.clear();
        m_nShownCount = 0;
        return;
    }

    int count = (int)m_devices.size();
    // Same count and no rebuild asked for: leave an open drop-down and the selection alone.
    if (count == m_nShownCount && !m_bReloadCombo && !m_bPlaceholderShown)
        return;

    m_bPlaceholderShown = false;
    ::EnableWindow(GetDlgItem(IDC_CHECK_EDIT), TRUE);
    m_editVid.SetReadOnly(TRUE);
    m_editPid.SetReadOnly(TRUE);
    m_bReloadCombo = false;
    m_nShownCount = count;
    // A rebuild asked for after a command or a rename may find the list as it was shown: then
    // neither the box nor the selection is touched.
    std::vector<std::string> texts;
    texts.reserve(m_devices.size());
    for (const usbdrv_device_entry& d : m_devices)
        texts.push_back(ListedText(d));
    bool refilled = texts != m_comboTexts;
    if (refilled) {
        m_cbDevices.Send(CB_RESETCONTENT);
        for (const std::string& shown : texts)
            m_cbDevices.Send(CB_ADDSTRING, 0, (LPARAM)shown.c_str());
        m_comboTexts.swap(texts);
    }
    for (size_t j = 0; j < m_devices.size(); j++) {
        if (text_or_empty(m_devices[j].device_id) == m_strDeviceId) {
            if (refilled || m_cbDevices.Send(CB_GETCURSEL) != (LRESULT)j)
                m_cbDevices.Send(CB_SETCURSEL, j);
            ShowDeviceFields(j, false);
            return;
        }
    }
    m_cbDevices.Send(CB_SETCURSEL, 0);
    ShowDeviceFields(0, true);
}

std::string CCorvaneDlg::ListedText(const usbdrv_device_entry& entry) {
    std::string shown = utf8_to_code_page(entry.description);
    // Asked only when the list is rebuilt (a device came or went, or a command ended), not at
    // every refresh: the port is the device's until its driver changes.
    if (!entry.device_id || !is_serial_driver(entry.driver_name))
        return shown;
    usbdrv_device_state state = {};
    usbdrv_get_device_state(entry.device_id, &state);
    installation_outcome bound = outcome_of_installation(entry.device_id, state);
    if (bound.kind == installation_outcome::installed && !bound.port.empty())
        shown += kPortBefore + bound.port + kPortAfter;
    return shown;
}

void CCorvaneDlg::ShowDeviceFields(size_t j, bool take_interface) {
    const usbdrv_device_entry& e = m_devices[j];
    std::string device_id = text_or_empty(e.device_id);
    m_strUid = device_id.size() > 12 ? device_id.substr(device_id.size() - 12) : device_id;
    show_text(m_editUid, m_strUid);
    m_strDeviceId = device_id;
    if (take_interface)
        m_nInterface = e.interface_number;
    m_strPid = hex4_text(e.pid);
    m_strVid = hex4_text(e.vid);
    show_text(m_editVid, m_strVid);
    show_text(m_editPid, m_strPid);
    UpdateInstallCaption(e);
}

void CCorvaneDlg::UpdateInstallCaption(const usbdrv_device_entry& entry) {
    if (!entry.driver_name) {
        show_text(m_btnInstall, kInstallCaption);
    } else if (is_serial_driver(entry.driver_name)) {
        show_text(m_btnInstall, kReinstallCaption);
    }
    // Any other driver leaves the caption as it is.
}

void CCorvaneDlg::OnSelchangeDevice() {
    list_lock lock(m_csList);
    LRESULT i = m_cbDevices.Send(CB_GETCURSEL);
    if ((size_t)i < m_devices.size())
        ShowDeviceFields((size_t)i, true);
}

void CCorvaneDlg::OnTimer(UINT_PTR) {
    if (m_bBusy || !m_bAutoRefresh)
        return;
    list_lock lock(m_csList);
    RefreshDeviceList();
}

void CCorvaneDlg::OnClickedEdit() {
    list_lock lock(m_csList);
    UpdateData(TRUE);
    size_t i = (size_t)m_cbDevices.Send(CB_GETCURSEL);
    if (m_bEditName) {
        m_bAutoRefresh = false;
        ::ShowWindow(GetDlgItem(IDC_COMBO_DEVICE), SW_HIDE);
        ::ShowWindow(GetDlgItem(IDC_EDIT_NAME), SW_SHOW);
        if (i < m_devices.size()) {
            m_strName = utf8_to_code_page(m_devices[i].description);
            m_editName.SetWindowText(m_strName);
        }
    } else {
        ::ShowWindow(GetDlgItem(IDC_COMBO_DEVICE), SW_SHOW);
        ::ShowWindow(GetDlgItem(IDC_EDIT_NAME), SW_HIDE);
        if (i < m_devices.size()) {
            usbdrv_device_entry& e = m_devices[i];
            auto name = std::make_unique<std::string>(code_page_to_utf8(m_strName));
            e.description = &(*name)[0];
            std::string device_id = text_or_empty(e.device_id);
            bool stored = false;
            for (device_alias& alias : m_aliases) {
                if (alias.device_id == device_id) {
                    m_retiredNames.push_back(std::move(alias.name));
                    alias.name = std::move(name);
                    stored = true;
                    break;
                }
            }
            if (!stored)
                m_aliases.push_back({device_id, std::move(name)});
        }
        m_bReloadCombo = true;
        m_bAutoRefresh = true;
        FillDeviceCombo();
    }
}
