// Reads the resources of the built Corvane.exe programs as data: this tree's and, when build/x86
// is built too, the 32-bit one. The dialogs and the version record must be what app/Corvane.rc
// says (corvane_rc.h, generated from it). What the program's code relies on is checked on its
// own, so that a changed script that breaks it is caught: the controls it drives by id, of the
// kind it drives them as, and the about box's icon that is not there.
#include <windows.h>

#include <gtest/gtest.h>

#include "corvane_rc.h"
#include "test_support.h"
#include "win/handles.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

const WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 2052
const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);           // 1033

// Corvane.exe of this tree (CORVANE_EXE) and of the 32-bit tree when it is built
// (CORVANE_EXE_X86); Unix or Windows paths.
std::string this_trees_program() {
    return test::path_from_environment("CORVANE_EXE").string();
}
std::string the_32_bit_program() {
    std::string path = test::path_from_environment("CORVANE_EXE_X86").string();
    return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES ? path : "";
}
std::vector<std::string> programs() {
    std::vector<std::string> result = {this_trees_program()};
    if (!the_32_bit_program().empty())
        result.push_back(the_32_bit_program());
    return result;
}

class program_resources {
public:
    explicit program_resources(const std::string& path)
        : module_(LoadLibraryExA(path.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE)) {}
    HMODULE module() const { return module_.get(); }

    // The bytes of one resource in one language; empty when it is not there.
    std::vector<BYTE> find(LPCSTR type, LPCSTR name, WORD language) const {
        HRSRC info = FindResourceExA(module(), type, name, language);
        if (!info)
            return {};
        HGLOBAL data = LoadResource(module(), info);
        auto* bytes = static_cast<const BYTE*>(LockResource(data));
        return std::vector<BYTE>(bytes, bytes + SizeofResource(module(), info));
    }

private:
    unique_module module_;
};

// A reader over a dialog template (DLGTEMPLATEEX and its DLGITEMTEMPLATEEX items).
class template_reader {
public:
    explicit template_reader(const std::vector<BYTE>& data) : data_(data) {}
    WORD word() {
        WORD w = 0;
        if (at_ + 2 <= data_.size())
            memcpy(&w, &data_[at_], 2);
        at_ += 2;
        return w;
    }
    DWORD dword() {
        DWORD low = word();
        return low | (DWORD)word() << 16;
    }
    BYTE byte() { return at_ < data_.size() ? data_[at_++] : 0; }
    // A text, or "#<n>" for an ordinal.
    std::wstring text_or_ordinal() {
        WORD first = word();
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(word());
        std::wstring s;
        for (WORD c = first; c != 0; c = word())
            s += (wchar_t)c;
        return s;
    }
    void align4() { at_ = (at_ + 3) & ~(size_t)3; }
    void skip(size_t n) { at_ += n; }
    bool overrun() const { return at_ > data_.size(); }

private:
    const std::vector<BYTE>& data_;
    size_t at_ = 0;
};

struct dialog_item {
    DWORD id, style, ex_style;
    short x, y, cx, cy;
    std::wstring class_name, text;
};

struct dialog_template {
    DWORD style = 0, ex_style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring menu, class_name, caption, font;
    WORD point_size = 0, weight = 0;
    BYTE italic = 0;
    std::vector<dialog_item> items;
};

dialog_template parse_dialog(const std::vector<BYTE>& data) {
    dialog_template d;
    template_reader r(data);
    EXPECT_EQ(r.word(), 1);       // dlgVer
    EXPECT_EQ(r.word(), 0xFFFF);  // an extended template
    r.dword();                    // help id
    d.ex_style = r.dword();
    d.style = r.dword();
    WORD count = r.word();
    d.x = (short)r.word();
    d.y = (short)r.word();
    d.cx = (short)r.word();
    d.cy = (short)r.word();
    d.menu = r.text_or_ordinal();
    d.class_name = r.text_or_ordinal();
    d.caption = r.text_or_ordinal();
    if (d.style & (DS_SETFONT | DS_FIXEDSYS)) {
        d.point_size = r.word();
        d.weight = r.word();
        d.italic = r.byte();
        r.byte();  // character set
        d.font = r.text_or_ordinal();
    }
    for (WORD i = 0; i < count; i++) {
        r.align4();
        dialog_item item;
        r.dword();  // help id
        item.ex_style = r.dword();
        item.style = r.dword();
        item.x = (short)r.word();
        item.y = (short)r.word();
        item.cx = (short)r.word();
        item.cy = (short)r.word();
        item.id = r.dword();
        item.class_name = r.text_or_ordinal();
        item.text = r.text_or_ordinal();
        r.skip(r.word());  // creation data
        d.items.push_back(item);
    }
    EXPECT_FALSE(r.overrun());
    return d;
}

// The class of a template item as its name: the template may give a predefined class by its
// ordinal, which makes the same control.
std::wstring item_class_name(const dialog_item& item) {
    const wchar_t* const predefined[] = {L"Button",  L"Edit",      L"Static",
                                         L"ListBox", L"ScrollBar", L"ComboBox"};
    for (size_t i = 0; i < std::size(predefined); i++) {
        if (item.class_name == L"#" + std::to_wstring(0x80 + i))
            return predefined[i];
    }
    return item.class_name;
}

bool same_class(const dialog_item& item, const wchar_t* name) {
    return _wcsicmp(item_class_name(item).c_str(), name) == 0;
}

dialog_template built_dialog(const program_resources& res, int id) {
    std::vector<BYTE> data = res.find(RT_DIALOG, MAKEINTRESOURCEA(id), kChinesePrc);
    EXPECT_FALSE(data.empty()) << "no dialog " << id;
    return data.empty() ? dialog_template() : parse_dialog(data);
}

// The styles and the place of a built dialog or control, and of the script's.
template <typename Built, typename Script>
void expect_style_and_place(const Built& a, const Script& e) {
    EXPECT_EQ(a.style, e.style) << std::hex << a.style << " != " << e.style;
    EXPECT_EQ(a.ex_style, e.ex_style) << std::hex << a.ex_style << " != " << e.ex_style;
    EXPECT_EQ(std::make_tuple(a.x, a.y, a.cx, a.cy), std::make_tuple(e.x, e.y, e.cx, e.cy));
}

TEST(Resources, ThisTreesProgramIsThere) {
    std::string path = this_trees_program();
    ASSERT_FALSE(path.empty()) << "CORVANE_EXE is not set";
    EXPECT_NE(GetFileAttributesA(path.c_str()), INVALID_FILE_ATTRIBUTES) << path;
}

TEST(Resources, The32BitProgramIsCheckedWhenItsTreeIsBuilt) {
    if (the_32_bit_program().empty())
        GTEST_SKIP() << "no 32-bit Corvane.exe (build/x86 is not built): checking this tree's only";
}

TEST(Resources, DialogsAreWhatTheResourceScriptSays) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        ASSERT_NE(res.module(), nullptr);
        for (const rc::dialog& e : rc::kDialogs) {
            SCOPED_TRACE("dialog " + std::to_string(e.id));
            dialog_template d = built_dialog(res, e.id);
            expect_style_and_place(d, e);
            EXPECT_EQ(d.caption, e.caption);
            EXPECT_EQ(d.font, e.font);
            EXPECT_EQ(d.point_size, e.point_size);
            EXPECT_EQ(d.weight, e.weight);
            EXPECT_EQ(d.italic, e.italic);
            EXPECT_EQ(d.menu, L"");
            EXPECT_EQ(d.class_name, L"");

            ASSERT_EQ(d.items.size(), e.control_count);
            for (size_t i = 0; i < d.items.size(); i++) {
                const dialog_item& a = d.items[i];
                const rc::control& c = e.controls[i];
                SCOPED_TRACE("control " + std::to_string(i));
                EXPECT_EQ((int)a.id, c.id);
                EXPECT_TRUE(same_class(a, c.class_name)) << a.class_name.c_str();
                EXPECT_EQ(a.text, c.text ? c.text : L"#" + std::to_wstring(c.text_ordinal));
                expect_style_and_place(a, c);
            }
        }
    }
}

// The controls the dialog's code drives by id: each there once, of the class and kind it needs.
TEST(Resources, MainDialogHasTheControlsTheProgramDrives) {
    const struct {
        int id;
        const wchar_t* class_name;
        DWORD mask, bits;  // style & mask must be bits
    } needs[] = {
        {IDC_BUTTON_INSTALL, L"Button", BS_TYPEMASK, BS_PUSHBUTTON},
        {IDC_BUTTON_EXTRACT, L"Button", BS_TYPEMASK, BS_PUSHBUTTON},
        // The combo index is the index into the dialog's device list: never sorted.
        {IDC_COMBO_DEVICE, L"ComboBox", CBS_DROPDOWNLIST | CBS_SORT, CBS_DROPDOWNLIST},
        {IDC_EDIT_PID, L"Edit", 0, 0},
        {IDC_EDIT_VID, L"Edit", 0, 0},
        {IDC_EDIT_UID, L"Edit", ES_READONLY, ES_READONLY},  // the code never makes it editable
        {IDC_CHECK_EDIT, L"Button", BS_TYPEMASK, BS_AUTOCHECKBOX},
        {IDC_EDIT_NAME, L"Edit", 0, 0},
    };
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        dialog_template d = built_dialog(res, IDD_MAIN_DIALOG);
        std::map<int, const dialog_item*> by_id;
        for (const dialog_item& item : d.items) {
            if ((int)item.id != IDC_STATIC) {
                EXPECT_TRUE(by_id.emplace((int)item.id, &item).second) << "id " << item.id;
            }
        }
        for (const auto& need : needs) {
            SCOPED_TRACE("id " + std::to_string(need.id));
            ASSERT_EQ(by_id.count(need.id), 1u);
            const dialog_item& item = *by_id[need.id];
            EXPECT_TRUE(same_class(item, need.class_name)) << item.class_name.c_str();
            EXPECT_EQ(item.style & need.mask, need.bits) << std::hex << item.style;
        }
        // The name box takes the combo box's place while the user edits a name.
        const dialog_item& combo = *by_id[IDC_COMBO_DEVICE];
        const dialog_item& name = *by_id[IDC_EDIT_NAME];
        EXPECT_EQ(std::make_tuple(name.x, name.y, name.cx),
                  std::make_tuple(combo.x, combo.y, combo.cx));
        // The labels are written with the full-width colon, which the code page 936 run shows.
        for (const dialog_item& item : d.items) {
            if (same_class(item, L"Static")) {
                ASSERT_FALSE(item.text.empty());
                EXPECT_EQ(item.text.back(), L'\uFF1A')
                    << std::string(item.text.begin(), item.text.end());
            }
        }
    }
}

TEST(Resources, AboutBoxNamesAnIconTheProgramDoesNotHold) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        dialog_template d = built_dialog(res, IDD_ABOUTBOX);
        ASSERT_FALSE(d.items.empty());
        // Its first control, an icon static, shows nothing.
        EXPECT_TRUE(same_class(d.items[0], L"Static"));
        EXPECT_EQ(d.items[0].style & SS_TYPEMASK, (DWORD)SS_ICON);
        EXPECT_EQ(d.items[0].text, L"#" + std::to_wstring(IDR_MAINFRAME));
        EXPECT_TRUE(res.find(RT_GROUP_ICON, MAKEINTRESOURCEA(IDR_MAINFRAME), kChinesePrc).empty());
        // The framework closes it with IDOK.
        bool has_ok = false;
        for (const dialog_item& item : d.items)
            has_ok |= item.id == IDOK;
        EXPECT_TRUE(has_ok);
    }
}

TEST(Resources, OneIconOf128By128With32Bits) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        std::vector<BYTE> group =
            res.find(RT_GROUP_ICON, MAKEINTRESOURCEA(IDI_CORVANE), kChinesePrc);
        ASSERT_EQ(group.size(), 6u + 14u);  // the header and one entry
        WORD count;
        memcpy(&count, &group[4], 2);
        EXPECT_EQ(count, 1);
        EXPECT_EQ(group[6], 128);  // width
        EXPECT_EQ(group[7], 128);  // height
        WORD bits, id;
        memcpy(&bits, &group[6 + 6], 2);
        memcpy(&id, &group[6 + 12], 2);
        EXPECT_EQ(bits, 32);
        std::vector<BYTE> image = res.find(RT_ICON, MAKEINTRESOURCEA(id), kChinesePrc);
        ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
        BITMAPINFOHEADER header;
        memcpy(&header, image.data(), sizeof header);
        EXPECT_EQ(header.biWidth, 128);
        EXPECT_EQ(header.biHeight, 256);  // colour and mask
        EXPECT_EQ(header.biBitCount, 32);
    }
}

std::wstring version_string(const std::vector<BYTE>& block, const char* name) {
    std::wstring query =
        L"\\StringFileInfo\\" +
        std::wstring(rc::kVersionStrings, rc::kVersionStrings + strlen(rc::kVersionStrings)) +
        L"\\" + std::wstring(name, name + strlen(name));
    wchar_t* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &length))
        return L"(none)";
    return value;
}

TEST(Resources, VersionRecordIsWhatTheResourceScriptSays) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        ASSERT_FALSE(
            program_resources(path).find(RT_VERSION, MAKEINTRESOURCEA(1), kChinesePrc).empty());
        DWORD ignored;
        DWORD size = GetFileVersionInfoSizeA(path.c_str(), &ignored);
        ASSERT_GT(size, 0u);
        std::vector<BYTE> block(size);
        ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, block.data()));
        VS_FIXEDFILEINFO* fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
        auto high_low = [](const WORD(&v)[4]) {
            return std::make_pair((DWORD)MAKELONG(v[1], v[0]), (DWORD)MAKELONG(v[3], v[2]));
        };
        EXPECT_EQ(std::make_pair(fixed->dwFileVersionMS, fixed->dwFileVersionLS),
                  high_low(rc::kFileVersion));
        EXPECT_EQ(std::make_pair(fixed->dwProductVersionMS, fixed->dwProductVersionLS),
                  high_low(rc::kProductVersion));
        for (const rc::version_value& value : rc::kVersionValues)
            EXPECT_EQ(version_string(block, value.name), value.text) << value.name;
        WORD* translation = nullptr;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                                   reinterpret_cast<void**>(&translation), &length));
        ASSERT_EQ(length, 4u);
        EXPECT_EQ(translation[0], rc::kVersionTranslation[0]);
        EXPECT_EQ(translation[1], rc::kVersionTranslation[1]);
    }
}

TEST(Resources, ManifestAsksForAdministratorAndDeclaresDpiAwareness) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        std::vector<BYTE> data = res.find(RT_MANIFEST, MAKEINTRESOURCEA(1), kEnglishUs);
        ASSERT_FALSE(data.empty());
        std::string manifest(data.begin(), data.end());
        EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos);
        EXPECT_NE(manifest.find("uiAccess=\"false\""), std::string::npos);
        EXPECT_NE(manifest.find(">true</dpiAware>"), std::string::npos);
    }
}

BOOL CALLBACK note_language(HMODULE, LPCSTR type, LPCSTR name, WORD language, LONG_PTR param) {
    auto* found = reinterpret_cast<std::vector<std::string>*>(param);
    std::string t = IS_INTRESOURCE(type) ? std::to_string((ULONG_PTR)type) : type;
    std::string n = IS_INTRESOURCE(name) ? std::to_string((ULONG_PTR)name) : name;
    found->push_back(t + "/" + n + "/" + std::to_string(language));
    return TRUE;
}
BOOL CALLBACK note_name(HMODULE module, LPCSTR type, LPSTR name, LONG_PTR param) {
    EnumResourceLanguagesA(module, type, name, note_language, param);
    return TRUE;
}
BOOL CALLBACK note_type(HMODULE module, LPSTR type, LONG_PTR param) {
    EnumResourceNamesA(module, type, note_name, param);
    return TRUE;
}

TEST(Resources, ChineseExceptTheManifest) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        std::vector<std::string> found;
        EnumResourceTypesA(res.module(), note_type, reinterpret_cast<LONG_PTR>(&found));
        EXPECT_GE(found.size(), 6u);  // two dialogs, icon and group, version, manifest
        for (const std::string& entry : found) {
            bool manifest = entry.rfind("24/", 0) == 0;
            std::string language = std::to_string(manifest ? kEnglishUs : kChinesePrc);
            EXPECT_EQ(entry.substr(entry.rfind('/') + 1), language) << entry;
        }
    }
}

}  // namespace
