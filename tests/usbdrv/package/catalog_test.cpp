// CreateCat on the simulated machine: real package folders, the catalog services of the
// simulation's wintrust.dll, and what they were asked (the journal). The catalog file itself is
// read by an independent decoder in catalog_decoded (read_catalog.py).
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "base/log.h"
#include "machine_crypto.h"
#include "package/catalog.h"
#include "package/embedded_files.h"
#include "package/extraction.h"
#include "simulated_machine.h"
#include "test_support.h"
#include "win/handles.h"
#include "win/windows_error.h"

namespace fs = std::filesystem;

namespace {

using strings = std::vector<std::string>;

const char* const kHardwareId = "USB\\VID_C04A&PID_0C02&MI_00";
const char* const kInfName = "Corvane.inf";
const char* const kFileFlags = "0x10010001";
const char* const kPeSubject = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}";
const char* const kFlatSubject = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}";
const char* const kOsList =
    "XP_X86,XP_X64,Vista_X86,Vista_X64,7_X86,7_X64,8_X86,8_X64,8_ARM,10_X86,10_X64,10_ARM";
const char* const kMemberOsList = "2:5.1,2:5.2,2:6.0,2:6.1";
// The SPC data of the members' SIP records: an SpcLink to the file "<<<Obsolete>>>", alone for
// a flat file, inside an SpcPeImageData with the flag bits 0xA0 for a PE image.
const char* const kObsoleteLink =
    "A21E801C003C003C003C004F00620073006F006C006500740065003E003E003E";
const std::string kPeImageData = std::string("3026030200A0A020") + kObsoleteLink;

// Every attribute's value is UTF-16 with its terminator counted.
std::string utf16_bytes(const std::string& ascii) {
    return std::to_string(2 * (ascii.size() + 1));
}

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; });
    return text;
}

// The message with the text of error in place of its "%s".
std::string with_error(std::string message, uint32_t error) {
    const size_t at = message.find("%s");
    return at == std::string::npos ? message : message.replace(at, 2, windows_error_text(error));
}

// One catalog member as the journal tells it.
struct member {
    strings put;                                // the CryptCATPutMemberInfo fields after the name
    std::map<std::string, strings> attributes;  // by name: flags, bytes, value, outcome
};

class CreateCatTest : public testing::Test {
protected:
    CreateCatTest() : machine_("") {
        SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", journal_path().c_str());
    }
    ~CreateCatTest() override { SetEnvironmentVariableW(L"CORVANE_SIM_JOURNAL", nullptr); }

    fs::path journal_path() const { return dir_.path() / "journal.txt"; }
    fs::path package() const { return dir_.path() / "package"; }
    std::string package_text() const { return test::utf8(package()); }
    std::string catalog_text() const { return package_text() + "\\Corvane.cat"; }

    void use_scenario(const std::string& text) { machine_.set(text); }

    // A package as the preparation leaves it before the catalog: the carried files and the INF.
    void write_package() {
        ASSERT_EQ(extract_binaries(package_text().c_str()), USBDRV_OK);
        write_file(package() / kInfName, "; the package's INF\r\n[Version]\r\n");
    }

    static void write_file(const fs::path& file, const std::string& content) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
    }

    // CreateCat with the package folder, the catalog path and the hardware ID above; its log
    // goes to log_.
    bool create_cat(const strings& names) { return create_cat_in(package_text(), names); }
    bool create_cat_in(const std::string& search_dir, const strings& names) {
        std::vector<const char*> list;
        for (const std::string& name : names)
            list.push_back(name.c_str());
        test::log_capture capture;
        const bool created = CreateCat(catalog_text().c_str(), kHardwareId, search_dir.c_str(),
                                       list.data(), static_cast<uint32_t>(list.size()));
        log_ = capture.text();
        return created;
    }

    // The journal's lines, each split into its fields.
    std::vector<strings> journal() const { return test::journal_lines(journal_path()); }
    // The journal's lines of one function, without the function's name.
    std::vector<strings> calls_of(const std::string& function) const {
        return test::journal_calls(journal_path(), function);
    }
    // The members that were put, by tag, with the attributes put for them.
    std::map<std::string, member> members() const {
        std::map<std::string, member> found;
        for (const strings& put : calls_of("CryptCATPutMemberInfo")) {
            if (put.back() == "ok")
                found[put[0]].put = strings(put.begin() + 1, put.end());
        }
        for (const strings& put : calls_of("CryptCATPutAttrInfo"))
            found[put[0]].attributes[put[1]] = strings(put.begin() + 2, put.end());
        return found;
    }
    // The members' "File" attribute values.
    std::multiset<std::string> member_files() const {
        std::multiset<std::string> files;
        for (const auto& [tag, m] : members()) {
            auto file = m.attributes.find("File");
            files.insert(file == m.attributes.end() ? "(no File for " + tag + ")"
                                                    : file->second[2]);
        }
        return files;
    }
    // The log's lines.
    strings log_lines() const {
        strings lines = test::split(log_, '\n');
        lines.pop_back();  // after the last line feed
        return lines;
    }
    bool logged(const std::string& line) const {
        const strings lines = log_lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    test::temp_dir dir_;
    test::simulated_machine machine_;
    std::string log_;
};

TEST_F(CreateCatTest, TheCdcPackageHasTheInfAsItsOnlyMember) {
    write_package();
    ASSERT_TRUE(create_cat({kInfName}));

    const std::string inf = package_text() + "\\" + kInfName;
    const std::string tag = test::sha1_of_file(package() / kInfName);
    const std::string hardware_id = lower(kHardwareId);
    const std::vector<strings> expected = {
        {"CryptCATOpen", catalog_text(), "0x1", "provider", "0x0", "0x0", "ok"},
        {"CryptCATPutCatAttrInfo", "HWID1", kFileFlags, utf16_bytes(hardware_id), hardware_id,
         "ok"},
        {"CryptCATPutCatAttrInfo", "OS", kFileFlags, utf16_bytes(kOsList), kOsList, "ok"},
        {"CryptCATAdminCalcHashFromFileHandle", inf, "flat", "ok " + tag},
        {"WVTAsn1SpcLinkEncode", "1.3.6.1.4.1.311.2.1.25", std::string("ok ") + kObsoleteLink},
        {"CryptCATPutMemberInfo", tag, "(null)", kFlatSubject, "0x200", "1.3.6.1.4.1.311.2.1.25",
         kObsoleteLink, "1.3.14.3.2.26", "", tag, "ok"},
        {"CryptCATPutAttrInfo", tag, "File", kFileFlags, utf16_bytes(kInfName), lower(kInfName),
         "ok"},
        {"CryptCATPutAttrInfo", tag, "OSAttr", kFileFlags, utf16_bytes(kMemberOsList),
         kMemberOsList, "ok"},
        {"CryptCATPersistStore", catalog_text(), "1 members"},
        {"CryptCATClose", catalog_text(), "ok"},
    };
    std::vector<strings> calls = journal();
    ASSERT_EQ(calls.size(), expected.size());
    // The file's size is the encoder's business; that it was written is the test's.
    ASSERT_EQ(calls[8].back().rfind("ok ", 0), 0u) << calls[8].back();
    calls[8].pop_back();
    for (size_t i = 0; i < expected.size(); i++)
        EXPECT_EQ(calls[i], expected[i]) << "call " << i;

    EXPECT_EQ(log_lines(), (strings{"usbdrv:info [ScanDirAndHash] added hash for '" + inf + "'",
                                    "usbdrv:info [CreateCat] successfully created file '" +
                                        catalog_text() + "'"}));
    EXPECT_GT(fs::file_size(catalog_text()), 0u);
}

// The signer reads the catalog back through crypt32 before it signs it: a signed-data message
// without a signer, whose content is the trust list with one entry per member, tagged with the
// member's hash.
TEST_F(CreateCatTest, TheCatalogReadsBackThroughCrypt32) {
    write_package();
    ASSERT_TRUE(create_cat({kInfName}));
    std::ifstream in(catalog_text(), std::ios::binary);
    const std::string file{std::istreambuf_iterator<char>(in), {}};

    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    HCRYPTMSG message = CryptMsgOpenToDecode(encoding, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(message, nullptr);
    scope_guard close([message] { CryptMsgClose(message); });
    ASSERT_TRUE(CryptMsgUpdate(message, reinterpret_cast<const BYTE*>(file.data()),
                               static_cast<DWORD>(file.size()), TRUE))
        << GetLastError();
    auto parameter = [message](DWORD type) {
        std::string value;
        DWORD size = 0;
        if (CryptMsgGetParam(message, type, 0, nullptr, &size)) {
            value.resize(size);
            if (!CryptMsgGetParam(message, type, 0, value.data(), &size))
                value.clear();
            value.resize(size);
        }
        return value;
    };
    const std::string type = parameter(CMSG_TYPE_PARAM);
    ASSERT_EQ(type.size(), sizeof(DWORD));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(type.data()), static_cast<DWORD>(CMSG_SIGNED));
    EXPECT_STREQ(parameter(CMSG_INNER_CONTENT_TYPE_PARAM).c_str(), szOID_CTL);
    const std::string signers = parameter(CMSG_SIGNER_COUNT_PARAM);
    ASSERT_EQ(signers.size(), sizeof(DWORD));
    EXPECT_EQ(*reinterpret_cast<const DWORD*>(signers.data()), 0u);

    const std::string content = parameter(CMSG_CONTENT_PARAM);
    CTL_INFO* ctl = nullptr;
    DWORD size = 0;
    ASSERT_TRUE(CryptDecodeObjectEx(
        encoding, PKCS_CTL, reinterpret_cast<const BYTE*>(content.data()),
        static_cast<DWORD>(content.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr, &ctl, &size))
        << GetLastError();
    unique_local<CTL_INFO> owned(ctl);
    ASSERT_EQ(ctl->cCTLEntry, 1u);
    const CRYPT_DATA_BLOB& identifier = ctl->rgCTLEntry[0].SubjectIdentifier;
    EXPECT_EQ(test::hex(identifier.pbData, identifier.cbData),
              test::sha1_of_file(package() / kInfName));
    EXPECT_EQ(ctl->cExtension, 2u) << "the catalog's attributes HWID1 and OS";
}

// The WinUSB package's list names its co-installers, which the package carries for both
// architectures: each copy is a member of its own, of PE type.
TEST_F(CreateCatTest, AWinUsbPackageHasPeMembersForBothArchitectures) {
    write_package();
    const strings names = {"WdfCoInstaller01011.dll", "winusbcoinstaller2.dll", kInfName};
    const int saved_threshold = usbdrv_log_threshold;
    usbdrv_log_threshold = USBDRV_LOG_DEBUG;
    ASSERT_TRUE(create_cat(names));
    usbdrv_log_threshold = saved_threshold;

    // The files the walk must find: every carried copy of a listed driver file, and the INF.
    std::multiset<std::string> expected_files = {lower(kInfName)};
    std::set<std::string> expected_paths = {package_text() + "\\" + kInfName};
    for (size_t i = 0; i < embedded_file_count; i++) {
        const embedded_file& row = embedded_files[i];
        if (*row.subdir && std::find(names.begin(), names.end(), row.name) != names.end()) {
            expected_files.insert(lower(row.name));
            expected_paths.insert(package_text() + "\\" + row.subdir + "\\" + row.name);
        }
    }
    ASSERT_EQ(expected_files.size(), 5u);
    EXPECT_EQ(member_files(), expected_files);

    std::set<std::string> hashed;
    for (const strings& call : calls_of("CryptCATAdminCalcHashFromFileHandle")) {
        hashed.insert(call[0]);
        EXPECT_EQ(call[1], call[0].size() > 4 && lower(call[0].substr(call[0].size() - 4)) == ".inf"
                               ? "flat"
                               : "pe image")
            << call[0];
    }
    EXPECT_EQ(hashed, expected_paths);

    for (const auto& [tag, m] : members()) {
        SCOPED_TRACE(tag);
        EXPECT_EQ(tag.size(), 40u);
        EXPECT_EQ(tag.find_first_not_of("0123456789ABCDEF"), std::string::npos);
        const bool pe = m.attributes.at("File")[2] != lower(kInfName);
        const std::string data_type = pe ? "1.3.6.1.4.1.311.2.1.15" : "1.3.6.1.4.1.311.2.1.25";
        // file name, subject, version, data type, data, digest algorithm, its parameters,
        // digest, outcome
        EXPECT_EQ(m.put,
                  (strings{"(null)", pe ? kPeSubject : kFlatSubject, "0x200", data_type,
                           pe ? kPeImageData : kObsoleteLink, "1.3.14.3.2.26", "", tag, "ok"}));
        const std::string file = m.attributes.at("File")[2];
        EXPECT_EQ(m.attributes.at("File"), (strings{kFileFlags, utf16_bytes(file), file, "ok"}));
        EXPECT_EQ(m.attributes.at("OSAttr"),
                  (strings{kFileFlags, utf16_bytes(kMemberOsList), kMemberOsList, "ok"}));
        EXPECT_TRUE(logged(std::string("usbdrv:debug [AddFileHash] '") + file +
                           (pe ? "': PE type" : "': INF type")));
    }
}

// Names are matched by their bare name at any depth, without regard to case on either side.
TEST_F(CreateCatTest, ListedFilesAreFoundInAnyCaseAtAnyDepth) {
    write_file(package() / "Driver.INF", "inf");
    write_file(package() / "x86" / "Same.dll", "x86 build");
    write_file(package() / "amd64" / "nested" / "same.DLL", "amd64 build");
    write_file(package() / "unlisted.sys", "not on the list");
    write_file(package() / "Notes.txt", "not a driver file");
    write_file(package() / ".inf", "a name that is all extension");
    write_file(package() / "README", "no extension");
    ASSERT_TRUE(
        create_cat({"driver.inf", "SAME.dll", "notes.TXT", ".inf", "readme", "absent.sys"}));

    EXPECT_EQ(member_files(), (std::multiset<std::string>{"driver.inf", "same.dll", "same.dll"}));
    EXPECT_EQ(members().size(), 3u) << "one member per copy, each with its own hash";

    // A listed file of a kind the catalog cannot hold is reported and left out; a listed file
    // that is absent leaves no trace.
    for (const char* name : {"Notes.txt", ".inf", "README"}) {
        const std::string path = package_text() + "\\" + name;
        EXPECT_TRUE(logged("usbdrv:warning [AddFileHash] unhandled file type: '" + lower(name) +
                           "' - ignoring"))
            << log_;
        EXPECT_TRUE(logged("usbdrv:warning [ScanDirAndHash] could not add hash for '" + path +
                           "' - ignored"))
            << log_;
    }
    EXPECT_EQ(log_.find("absent"), std::string::npos) << log_;
    EXPECT_EQ(log_.find("unlisted"), std::string::npos) << log_;
    EXPECT_EQ(calls_of("CryptCATPersistStore").at(0).at(1), "3 members");
}

// The walk's three path bounds, each met one character over (or at) its limit. A subdirectory
// whose relative path would be too long ends the walk of the directory that holds it; a
// directory whose search pattern would be too long is not walked; a listed file whose full path
// would not fit 260 bytes is left out. The walk goes on everywhere else.
TEST_F(CreateCatTest, PathOverflowEndsTheWalkOfThatDirectoryOnly) {
    const std::string base = package_text();
    const size_t b = base.size();
    ASSERT_LT(b, 100u) << "the temporary folder is too deep for this tree";
    auto padded = [](const char* start, size_t length) {
        return start + std::string(length - strlen(start), 'p');
    };
    // D: a file at exactly 259 characters fits; one character more does not. Its child's
    // relative path would take 262 bytes with its terminator.
    const std::string d = padded("d_", 252 - b);  // relative path "\d_..." of 253 - b
    const std::string d_child = padded("3_", b + 7);
    // E: its search pattern would take 262 bytes. G: its pattern takes exactly 261.
    const std::string e = padded("e_", 257 - b);
    const std::string g = padded("g_", 256 - b);
    write_file(package() / "1.inf", "top");
    write_file(package() / d / "1.inf", "in d");
    write_file(package() / d / "2_.inf", "in d, path too long");
    write_file(package() / d / d_child / "1.inf", "below d's long child");
    write_file(package() / d / "4.inf", "in d, after its long child");
    write_file(package() / e / "1.inf", "in e");
    write_file(package() / "f" / "1.inf", "in f");
    write_file(package() / g / "1.inf", "in g, path too long");
    ASSERT_EQ((base + "\\" + d + "\\1.inf").size(), 259u);
    ASSERT_TRUE(create_cat({"1.inf", "2_.inf", "4.inf"}));

    // Info and warnings go to two streams: each stream keeps its order.
    strings added, warned;
    for (const std::string& line : log_lines()) {
        if (line.rfind("usbdrv:info [ScanDirAndHash] ", 0) == 0)
            added.push_back(line);
        else if (line.rfind("usbdrv:warning [ScanDirAndHash] ", 0) == 0)
            warned.push_back(line);
    }
    const std::string add = "usbdrv:info [ScanDirAndHash] added hash for '" + base;
    EXPECT_EQ(added, (strings{add + "\\1.inf'", add + "\\" + d + "\\1.inf'", add + "\\f\\1.inf'"}));
    const std::string warn = "usbdrv:warning [ScanDirAndHash] ";
    EXPECT_EQ(warned, (strings{
                          warn + "path overflow - '2_.inf' ignored",
                          warn + "path overflow",  // d's child: the rest of d is not walked
                          warn + "path overflow",  // e is not walked
                          warn + "path overflow - '1.inf' ignored",  // but g is
                      }));
    EXPECT_EQ(members().size(), 3u);
}

// The package folder's own path at the limits: 259 characters resolve, but no search pattern
// fits under them; 260 do not resolve.
TEST_F(CreateCatTest, ASearchDirectoryAtTheLengthLimits) {
    write_package();
    const std::string prefix = dir_.utf8() + "\\";
    const struct {
        size_t length;
        bool created;
        std::string message;
    } cases[] = {
        {259, true, "usbdrv:warning [ScanDirAndHash] path overflow"},
        {260, false,
         "usbdrv:warning [ResolveSearchDir] Unable to get full path for '" + prefix +
             std::string(260 - prefix.size(), 's') + "'."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string search_dir = prefix + std::string(c.length - prefix.size(), 's');
        EXPECT_EQ(create_cat_in(search_dir, {kInfName}), c.created);
        EXPECT_TRUE(logged(c.message)) << log_;
        EXPECT_EQ(fs::exists(catalog_text()), c.created);
    }
}

// Each call of the catalog services that fails, by the scenario's [catalog] section: a failure
// of CreateCat's own steps makes it false and leaves no catalog; a failure for one file leaves
// that file out of a catalog that is still written.
TEST_F(CreateCatTest, EachFailureOfTheCatalogServicesGivesItsResultAndMessage) {
    write_package();
    const std::string inf = package_text() + "\\" + kInfName;
    const std::string skipped =
        "usbdrv:warning [ScanDirAndHash] could not add hash for '" + inf + "' - ignored";
    const struct {
        const char* key;
        uint32_t error;
        bool created;
        strings messages;  // %s stands for the error's text
    } cases[] = {
        {"open",
         ERROR_ACCESS_DENIED,
         false,
         {"usbdrv:warning [CreateCat] unable to create file '" + catalog_text() + "': %s"}},
        {"put_catalog_attribute",
         ERROR_NOT_ENOUGH_MEMORY,
         false,
         {"usbdrv:warning [CreateCat] failed to set HWID1 cat attribute: %s"}},
        {"hash", ERROR_SHARING_VIOLATION, true, {skipped}},
        {"encode",
         0x80092002 /* CRYPT_E_BAD_ENCODE */,
         true,
         {"usbdrv:warning [AddFileHash] unable to encode SPC Image Data: %s", skipped}},
        {"put_member",
         ERROR_NOT_ENOUGH_MEMORY,
         true,
         {"usbdrv:warning [AddFileHash] unable to create cat entry for file 'corvane.inf': %s",
          skipped}},
        {"put_member_attribute",
         ERROR_INVALID_PARAMETER,
         true,
         {"usbdrv:warning [AddFileHash] unable to create attributes for file 'corvane.inf': %s",
          skipped}},
        {"persist", ERROR_DISK_FULL, false, {"usbdrv:warning [CreateCat] unable to sort file: %s"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        use_scenario(std::string("[catalog]\n") + c.key + " = " + std::to_string(c.error) + "\n");
        fs::remove(catalog_text());
        EXPECT_EQ(create_cat({kInfName}), c.created);
        for (const std::string& message : c.messages) {
            const std::string line = with_error(message, c.error);
            EXPECT_TRUE(logged(line)) << line << "\nin\n" << log_;
        }
        EXPECT_EQ(
            logged("usbdrv:info [CreateCat] successfully created file '" + catalog_text() + "'"),
            c.created);
        EXPECT_EQ(fs::exists(catalog_text()), c.created);
    }
}

// Failures that come from the file system, not from the catalog services.
TEST_F(CreateCatTest, FileSystemFailures) {
    write_package();
    const std::string inf = package_text() + "\\" + kInfName;

    // A listed file that another program holds open for writing cannot be hashed.
    {
        unique_file_handle held(CreateFileW((package() / kInfName).c_str(), GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        EXPECT_TRUE(create_cat({kInfName}));
        EXPECT_TRUE(logged("usbdrv:warning [ScanDirAndHash] could not add hash for '" + inf +
                           "' - ignored"))
            << log_;
        EXPECT_TRUE(calls_of("CryptCATAdminCalcHashFromFileHandle").empty());
    }

    // A catalog that cannot be created: a folder stands where its file would be.
    fs::remove(catalog_text());
    fs::create_directory(catalog_text());
    EXPECT_FALSE(create_cat({kInfName}));
    const strings open = calls_of("CryptCATOpen").back();
    ASSERT_NE(open.back(), "ok");
    EXPECT_EQ(log_lines(),
              (strings{"usbdrv:warning [CreateCat] unable to create file '" + catalog_text() +
                       "': " + windows_error_text(ERROR_ACCESS_DENIED)}));
    EXPECT_TRUE(fs::is_directory(catalog_text())) << "what was there stays";
}

TEST_F(CreateCatTest, MissingArgumentsAreRefused) {
    const char* const names[] = {kInfName};
    const std::string cat = catalog_text(), dir = package_text();
    const struct {
        const char* cat_path;
        const char* hardware_id;
        const char* search_dir;
        const char* const* names;
        uint32_t count;
    } cases[] = {
        {nullptr, kHardwareId, dir.c_str(), names, 1},
        {"", kHardwareId, dir.c_str(), names, 1},
        {cat.c_str(), nullptr, dir.c_str(), names, 1},
        {cat.c_str(), "", dir.c_str(), names, 1},
        {cat.c_str(), kHardwareId, nullptr, names, 1},
        {cat.c_str(), kHardwareId, dir.c_str(), nullptr, 1},
    };
    for (const auto& c : cases) {
        test::log_capture capture;
        EXPECT_FALSE(CreateCat(c.cat_path, c.hardware_id, c.search_dir, c.names, c.count));
        EXPECT_EQ(capture.text(),
                  "usbdrv:error [CreateCat] one of the required parameter is NULL\n");
    }
    EXPECT_TRUE(journal().empty());
}

// Leaves a WinUSB package with its catalog in CORVANE_CATALOG_KEEP, and the request that made
// it, for read_catalog.py to check with a decoder that is not the simulation's.
TEST_F(CreateCatTest, KeptForAnIndependentDecoder) {
    const fs::path keep = test::path_from_environment("CORVANE_CATALOG_KEEP");
    if (keep.empty())
        GTEST_SKIP() << "CORVANE_CATALOG_KEEP names no folder";
    fs::remove_all(keep);
    fs::create_directories(keep);
    const std::string kept_package = test::utf8(keep / "package");
    ASSERT_EQ(extract_binaries(kept_package.c_str()), USBDRV_OK);
    write_file(keep / "package" / kInfName, "; the package's INF\r\n[Version]\r\n");
    const strings names = {"WdfCoInstaller01011.dll", "winusbcoinstaller2.dll", kInfName};
    std::ofstream request(keep / "request.txt", std::ios::binary);
    request << kHardwareId << "\n";
    std::vector<const char*> list;
    for (const std::string& name : names) {
        request << name << "\n";
        list.push_back(name.c_str());
    }
    request.close();
    const std::string cat = kept_package + "\\Corvane.cat";
    test::log_capture capture;
    EXPECT_TRUE(CreateCat(cat.c_str(), kHardwareId, kept_package.c_str(), list.data(),
                          static_cast<uint32_t>(list.size())));
}

}  // namespace
