// Reads the resources of the built Corvane.exe programs (64-bit and, when built, 32-bit) as data
// and compares them with the design: dialogs, icon, version record, manifest and languages.
#include <windows.h>

#include <gtest/gtest.h>

#include "handles.h"
#include "test_support.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const WORD kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);  // 2052
const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);           // 1033

// Corvane.exe of each build, from CORVANE_EXE_X64 and CORVANE_EXE_X86 (Unix or Windows paths).
std::vector<std::string> programs() {
    std::vector<std::string> result;
    for (const char* name : {"CORVANE_EXE_X64", "CORVANE_EXE_X86"}) {
        std::string path = test::path_from_environment(name).string();
        if (!path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
            result.push_back(path);
        }
    }
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

const DWORD kStatic = (DWORD)-1;
const DWORD kChildVisible = WS_CHILD | WS_VISIBLE;

TEST(Resources, BothBuildsArePresent) {
    EXPECT_EQ(programs().size(), 2u) << "set CORVANE_EXE_X64 and CORVANE_EXE_X86";
}

TEST(Resources, MainDialogAsDesigned) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        ASSERT_NE(res.module(), nullptr);
        std::vector<BYTE> data = res.find(RT_DIALOG, MAKEINTRESOURCEA(102), kChinesePrc);
        ASSERT_FALSE(data.empty());
        dialog_template d = parse_dialog(data);

        EXPECT_EQ(d.style, (DWORD)(WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU |
                                   WS_MINIMIZEBOX | DS_MODALFRAME | DS_SETFONT));
        EXPECT_EQ(d.ex_style, (DWORD)WS_EX_APPWINDOW);
        EXPECT_EQ(d.cx, 279);
        EXPECT_EQ(d.cy, 106);
        EXPECT_EQ(d.caption, L"Corvane_V1.0.31");
        EXPECT_EQ(d.font, L"Verdana");
        EXPECT_EQ(d.point_size, 8);
        EXPECT_EQ(d.weight, 400);
        EXPECT_EQ(d.italic, 0);
        EXPECT_EQ(d.menu, L"");
        EXPECT_EQ(d.class_name, L"");

        const dialog_item expected[] = {
            {1000, kChildVisible | WS_TABSTOP | BS_PUSHBUTTON, 0, 179, 43, 58, 23, L"#128",
             L"Install driver"},
            {1002, kChildVisible | CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, WS_EX_CLIENTEDGE, 10,
             25, 226, 62, L"#133", L""},
            {1003, kChildVisible | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, 38, 66, 90, 12,
             L"#129", L""},
            {1004, kChildVisible | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, 38, 49, 90, 12,
             L"#129", L""},
            {kStatic, kChildVisible | WS_GROUP | SS_LEFT, 0, 11, 10, 51, 11, L"#130",
             L"Device Name\uFF1A"},
            {kStatic, kChildVisible | WS_GROUP | SS_LEFT, 0, 11, 67, 26, 10, L"#130", L"PID\uFF1A"},
            {kStatic, kChildVisible | WS_GROUP | SS_LEFT, 0, 11, 50, 28, 10, L"#130", L"VID\uFF1A"},
            {1005, kChildVisible | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY, 0, 38, 84,
             90, 12, L"#129", L""},
            {kStatic, kChildVisible | WS_GROUP | SS_LEFT, 0, 11, 86, 24, 10, L"#130", L"UID\uFF1A"},
            {1001, kChildVisible | WS_TABSTOP | BS_PUSHBUTTON, 0, 179, 72, 58, 23, L"#128",
             L"Extract driver"},
            {1009, kChildVisible | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 240, 27, 28, 10, L"Button",
             L"Edit"},
            {1010, kChildVisible | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 0, 10, 25, 226, 13,
             L"#129", L""},
        };
        ASSERT_EQ(d.items.size(), std::size(expected));
        for (size_t i = 0; i < d.items.size(); i++) {
            const dialog_item& a = d.items[i];
            const dialog_item& e = expected[i];
            SCOPED_TRACE("control " + std::to_string(i));
            EXPECT_EQ(a.id, e.id);
            // The class as an ordinal or as its name: both make the same control.
            bool button = a.class_name == L"#128" || _wcsicmp(a.class_name.c_str(), L"Button") == 0;
            if (e.class_name == L"Button" || e.class_name == L"#128") {
                EXPECT_TRUE(button) << a.class_name.c_str();
            } else {
                EXPECT_EQ(a.class_name, e.class_name);
            }
            EXPECT_EQ(a.text, e.text);
            EXPECT_EQ(a.style, e.style) << std::hex << a.style << " != " << e.style;
            EXPECT_EQ(a.ex_style, e.ex_style);
            EXPECT_EQ(a.x, e.x);
            EXPECT_EQ(a.y, e.y);
            EXPECT_EQ(a.cx, e.cx);
            EXPECT_EQ(a.cy, e.cy);
        }
    }
}

TEST(Resources, AboutBoxAsDesigned) {
    for (const std::string& path : programs()) {
        SCOPED_TRACE(path);
        program_resources res(path);
        std::vector<BYTE> data = res.find(RT_DIALOG, MAKEINTRESOURCEA(100), kChinesePrc);
        ASSERT_FALSE(data.empty());
        dialog_template d = parse_dialog(data);
        EXPECT_EQ(d.style, (DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT |
                                   DS_FIXEDSYS));
        EXPECT_EQ(d.cx, 170);
        EXPECT_EQ(d.cy, 62);
        EXPECT_EQ(d.caption,
                  L"\u5173\u4E8E"
                  L"Corvane");
        EXPECT_EQ(d.font, L"MS Shell Dlg");
        EXPECT_EQ(d.point_size, 9);
        ASSERT_GE(d.items.size(), 4u);
        // An icon static naming icon 128, which the program does not hold.
        EXPECT_EQ(d.items[0].class_name, L"#130");
        EXPECT_EQ(d.items[0].style & SS_TYPEMASK, (DWORD)SS_ICON);
        EXPECT_EQ(d.items[0].text, L"#128");
        EXPECT_TRUE(res.find(RT_GROUP_ICON, MAKEINTRESOURCEA(128), kChinesePrc).empty());
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
        std::vector<BYTE> group = res.find(RT_GROUP_ICON, MAKEINTRESOURCEA(136), kChinesePrc);
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

std::string version_string(const std::vector<BYTE>& block, const char* name) {
    char query[128];
    snprintf(query, sizeof query, "\\StringFileInfo\\080404b0\\%s", name);
    char* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), query, reinterpret_cast<void**>(&value), &length))
        return "";
    return value;
}

TEST(Resources, VersionRecord) {
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
        EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
        EXPECT_EQ(fixed->dwFileVersionLS, 0x00030001u);
        EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
        EXPECT_EQ(fixed->dwProductVersionLS, 0x00030001u);
        EXPECT_EQ(version_string(block, "FileDescription"), "Corvane");
        EXPECT_EQ(version_string(block, "ProductName"), "Corvane");
        EXPECT_EQ(version_string(block, "InternalName"), "Corvane.exe");
        EXPECT_EQ(version_string(block, "OriginalFilename"), "Corvane.exe");
        WORD* translation = nullptr;
        ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                                   reinterpret_cast<void**>(&translation), &length));
        ASSERT_EQ(length, 4u);
        EXPECT_EQ(translation[0], 0x0804);
        EXPECT_EQ(translation[1], 1200);
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
