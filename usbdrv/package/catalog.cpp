#include "package/catalog.h"

#include <windows.h>
#include <mscat.h>
#include <mssip.h>
#include <wintrust.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "base/catalog_rules.h"
#include "base/log.h"
#include "win/handles.h"
#include "win/runtime_imports.h"
#include "win/utf8.h"
#include "win/windows_error.h"

static_assert(kCatalogAttributeFlags ==
                  (CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_NAMEASCII | CRYPTCAT_ATTR_DATAASCII),
              "the catalog's attribute flags are the system's");

namespace {

const char* const kCreateCat = "CreateCat";
const char* const kResolveSearchDir = "ResolveSearchDir";
const char* const kScanDirAndHash = "ScanDirAndHash";
const char* const kAddFileHash = "AddFileHash";
const char* const kCalcHash = "CalcHash";

// The Windows versions the package is for: the catalog's list, and each member's.
wchar_t kOsList[] =
    L"XP_X86,XP_X64,Vista_X86,Vista_X64,7_X86,7_X64,8_X86,8_X64,8_ARM,10_X86,10_X64,10_ARM";
wchar_t kMemberOsList[] = L"2:5.1,2:5.2,2:6.0,2:6.1";

// The subject types of the system's PE-image and flat-image subject interface packages, which
// tell the system how it hashes the member's file when it checks it.
const GUID kPeImageSubject = {
    0xC689AAB8, 0x8E78, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};
const GUID kFlatImageSubject = {
    0xDE351A42, 0x8E59, 0x11D0, {0x8C, 0x47, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

// The data of a member's SIP record: a PE image's is an SpcPeImageData, a flat file's an SpcLink
// alone under the cabinet-data identifier. Its link names no file (the "File" attribute does).
char kPeImageData[] = SPC_PE_IMAGE_DATA_OBJID;
char kFlatImageData[] = SPC_CAB_DATA_OBJID;
char kSha1[] = szOID_OIWSEC_sha1;
wchar_t kObsoleteLink[] = L"<<<Obsolete>>>";
constexpr size_t kSpcDataBytes = 64;

// The absolute package directory being catalogued (UTF-8), which the walk joins its relative
// paths to.
using search_root = char[MAX_PATH];

// The local file list: lower-cased copies of the caller's names; an entry that could not be
// copied is null and matches nothing.
using file_list = std::unique_ptr<unique_malloc<char>[]>;

// An attribute's value is a UTF-16 text whose byte count includes the terminator.
DWORD text_bytes(const wchar_t* text) {
    return static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
}

bool put_catalog_attribute(HANDLE catalog, const wchar_t* name, wchar_t* value) {
    return imports.CryptCATPutCatAttrInfo.get_quietly()(catalog, const_cast<wchar_t*>(name),
                                                        kCatalogAttributeFlags, text_bytes(value),
                                                        reinterpret_cast<BYTE*>(value)) != nullptr;
}

bool put_member_attribute(HANDLE catalog, CRYPTCATMEMBER* member, const wchar_t* name,
                          wchar_t* value) {
    return imports.CryptCATPutAttrInfo.get_quietly()(catalog, member, const_cast<wchar_t*>(name),
                                                     kCatalogAttributeFlags, text_bytes(value),
                                                     reinterpret_cast<BYTE*>(value)) != nullptr;
}

bool ResolveSearchDir(const char* path, search_root& root) {
    if (!path)
        return false;
    unique_malloc<char> copy(strdup(path));
    if (!copy)
        return false;
    for (char* c = copy.get(); *c; ++c) {
        if (*c == '/')
            *c = '\\';
    }
    unique_malloc<wchar_t> wide(utf8_to_utf16(copy.get()));
    wchar_t full[MAX_PATH];
    DWORD length = wide ? GetFullPathNameW(wide.get(), MAX_PATH, full, nullptr) : 0;
    unique_malloc<char> resolved(length > 0 && length < MAX_PATH ? utf16_to_utf8(full) : nullptr);
    if (!resolved || strlen(resolved.get()) >= sizeof root) {
        usbdrv_log(USBDRV_LOG_WARNING, kResolveSearchDir, "Unable to get full path for '%s'.",
                   path);
        return false;
    }
    strcpy(root, resolved.get());
    return true;
}

bool AddFileHash(HANDLE catalog, const char* name, const uint8_t (&hash)[kFileHashBytes]) {
    if (!look_up_all(kAddFileHash, imports.CryptCATPutMemberInfo, imports.CryptCATPutAttrInfo,
                     imports.CryptEncodeObject)) {
        return false;
    }

    const hash_tag tag = hash_tag_of(hash);
    wchar_t wide_tag[sizeof tag.text];
    for (size_t i = 0; i < sizeof tag.text; i++)
        wide_tag[i] = static_cast<wchar_t>(tag.text[i]);

    unique_malloc<wchar_t> wide_name(utf8_to_utf16(name));
    if (!wide_name)
        return false;
    lower_ascii(wide_name.get());

    const catalog_member_kind kind = catalog_member_kind_of(name);
    if (kind == catalog_member_kind::none) {
        usbdrv_log(USBDRV_LOG_WARNING, kAddFileHash, "unhandled file type: '%s' - ignoring", name);
        return false;
    }
    const bool pe = kind == catalog_member_kind::pe_image;
    usbdrv_log(USBDRV_LOG_DEBUG, kAddFileHash, pe ? "'%s': PE type" : "'%s': INF type", name);

    SPC_LINK link = {};
    link.dwLinkChoice = SPC_FILE_LINK_CHOICE;
    link.pwszFile = kObsoleteLink;
    BYTE image_flags = 0xA0;  // one byte, all eight bits significant
    SPC_PE_IMAGE_DATA image = {};
    image.Flags.cbData = 1;
    image.Flags.pbData = &image_flags;
    image.pFile = &link;
    char* data_type = pe ? kPeImageData : kFlatImageData;
    BYTE spc_data[kSpcDataBytes];
    DWORD spc_size = sizeof spc_data;
    if (!imports.CryptEncodeObject.get_quietly()(X509_ASN_ENCODING, data_type,
                                                 pe ? static_cast<void*>(&image) : &link, spc_data,
                                                 &spc_size)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kAddFileHash, GetLastError(),
                         "unable to encode SPC Image Data: %s");
        return false;
    }

    BYTE digest[kFileHashBytes];
    memcpy(digest, hash, sizeof digest);
    SIP_INDIRECT_DATA indirect_data = {};
    indirect_data.Data.pszObjId = data_type;
    indirect_data.Data.Value = {spc_size, spc_data};
    indirect_data.DigestAlgorithm.pszObjId = kSha1;
    indirect_data.Digest = {sizeof digest, digest};
    GUID subject = pe ? kPeImageSubject : kFlatImageSubject;
    CRYPTCATMEMBER* member = imports.CryptCATPutMemberInfo.get_quietly()(
        catalog, nullptr, wide_tag, &subject, kCatalogMemberVersion, sizeof indirect_data,
        reinterpret_cast<BYTE*>(&indirect_data));
    if (!member) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kAddFileHash, GetLastError(),
                         "unable to create cat entry for file '%s': %s", name);
        return false;
    }

    // "OSAttr" only after "File": the error read is the failing call's.
    if (!put_member_attribute(catalog, member, L"File", wide_name.get()) ||
        !put_member_attribute(catalog, member, L"OSAttr", kMemberOsList)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kAddFileHash, GetLastError(),
                         "unable to create attributes for file '%s': %s", name);
        return false;
    }
    return true;
}

// Hashes and adds one file of the walk when its lower-cased name is on the list.
void add_listed_file(HANDLE catalog, const search_root& root, const char* rel,
                     const char* name_on_disk, const file_list& names, uint32_t count) {
    unique_malloc<char> name(strdup(name_on_disk));
    if (!name)
        return;
    lower_ascii(name.get());
    bool listed = false;
    for (uint32_t i = 0; i < count && !listed; i++)
        listed = names[i] && strcmp(names[i].get(), name.get()) == 0;
    if (!listed)
        return;

    if (!catalog_walk::file_path_fits(strlen(root), strlen(rel), strlen(name_on_disk))) {
        usbdrv_log(USBDRV_LOG_WARNING, kScanDirAndHash, "path overflow - '%s' ignored",
                   name_on_disk);
        return;
    }
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s%s\\%s", root, rel, name_on_disk);
    uint8_t hash[kFileHashBytes];
    if (CalcHash(hash, path) && AddFileHash(catalog, name.get(), hash)) {
        usbdrv_log(USBDRV_LOG_INFO, kScanDirAndHash, "added hash for '%s'", path);
    } else {
        usbdrv_log(USBDRV_LOG_WARNING, kScanDirAndHash, "could not add hash for '%s' - ignored",
                   path);
    }
}

// Room for the longest relative directory and search pattern that the walk's bounds let through.
constexpr size_t kWalkBuffer = 261;

void ScanDirAndHash(HANDLE catalog, const search_root& root, const char* rel,
                    const file_list& names, uint32_t count) {
    const size_t rel_length = strlen(rel);
    if (!catalog_walk::pattern_fits(strlen(root), rel_length)) {
        usbdrv_log(USBDRV_LOG_WARNING, kScanDirAndHash, "path overflow");
        return;
    }
    char pattern[kWalkBuffer];
    snprintf(pattern, sizeof pattern, "%s\\%s\\*", root, rel);
    unique_malloc<wchar_t> wide_pattern(utf8_to_utf16(pattern));
    WIN32_FIND_DATAW entry;
    HANDLE search =
        wide_pattern ? FindFirstFileW(wide_pattern.get(), &entry) : INVALID_HANDLE_VALUE;
    if (search == INVALID_HANDLE_VALUE)
        return;
    scope_guard end_search([search] { FindClose(search); });

    do {
        unique_malloc<char> name(utf16_to_utf8(entry.cFileName));
        if (!name)
            continue;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            add_listed_file(catalog, root, rel, name.get(), names, count);
            continue;
        }
        if (strcmp(name.get(), ".") == 0 || strcmp(name.get(), "..") == 0)
            continue;
        if (!catalog_walk::subdirectory_fits(rel_length, strlen(name.get()))) {
            // The rest of this directory is not visited either.
            usbdrv_log(USBDRV_LOG_WARNING, kScanDirAndHash, "path overflow");
            return;
        }
        char subdirectory[kWalkBuffer];
        snprintf(subdirectory, sizeof subdirectory, "%s\\%s", rel, name.get());
        ScanDirAndHash(catalog, root, subdirectory, names, count);
    } while (FindNextFileW(search, &entry));

    // Anything but the end of the list ends this directory's walk too: the entry would be the
    // previous one again.
    const DWORD error = GetLastError();
    if (error != ERROR_NO_MORE_FILES) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kScanDirAndHash, error,
                         "unable to list the files of '%s': %s", pattern);
    }
}

// The caller's names, lower-cased, or null when the list itself cannot be made.
file_list local_file_list(const char* const* file_names, uint32_t count) {
    file_list names(new (std::nothrow) unique_malloc<char>[count]);
    if (!names) {
        usbdrv_log(USBDRV_LOG_WARNING, kCreateCat, "unable allocate local file list");
        return names;
    }
    for (uint32_t i = 0; i < count; i++) {
        names[i].reset(file_names[i] ? strdup(file_names[i]) : nullptr);
        if (!names[i]) {
            usbdrv_log(USBDRV_LOG_WARNING, kCreateCat,
                       "'%s' could not be duplicated and will be ignored",
                       file_names[i] ? file_names[i] : "(null)");
            continue;
        }
        lower_ascii(names[i].get());
    }
    return names;
}

}  // namespace

bool CalcHash(uint8_t (&hash)[kFileHashBytes], const char* path) {
    auto* calc_hash = imports.CryptCATAdminCalcHashFromFileHandle.get(kCalcHash);
    if (!calc_hash)
        return false;
    unique_malloc<wchar_t> wide_path(utf8_to_utf16(path));
    if (!wide_path)
        return false;
    unique_file_handle file(CreateFileW(wide_path.get(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    DWORD size = kFileHashBytes;
    return calc_hash(file.get(), &size, hash, 0) && size == kFileHashBytes;
}

bool CreateCat(const char* cat_path, const char* hardware_id, const char* search_dir,
               const char* const* file_names, uint32_t file_count) {
    if (!look_up_all(kCreateCat, imports.CryptCATOpen, imports.CryptCATClose,
                     imports.CryptCATPersistStore, imports.CryptCATPutCatAttrInfo)) {
        return false;
    }
    if (!cat_path || !*cat_path || !hardware_id || !*hardware_id || !search_dir ||
        (file_count > 0 && !file_names)) {
        usbdrv_log(USBDRV_LOG_ERROR, kCreateCat, "one of the required parameter is NULL");
        return false;
    }

    unique_crypt_provider provider;
    if (!imports.CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                                      CRYPT_VERIFYCONTEXT)) {
        usbdrv_log(USBDRV_LOG_WARNING, kCreateCat,
                   "unable to acquire crypt context for cat creation");
        return false;
    }
    unique_malloc<wchar_t> wide_path(utf8_to_utf16(cat_path));
    unique_malloc<wchar_t> wide_hardware_id(utf8_to_utf16(hardware_id));
    if (!wide_path || !wide_hardware_id) {
        usbdrv_log(USBDRV_LOG_WARNING, kCreateCat, "unable to convert '%s' or '%s' to UTF-16",
                   cat_path, hardware_id);
        return false;
    }
    lower_ascii(wide_hardware_id.get());

    unique_catalog catalog(imports.CryptCATOpen.get_quietly()(
        wide_path.get(), CRYPTCAT_OPEN_CREATENEW, provider.get(), 0, 0));
    if (!catalog) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreateCat, GetLastError(),
                         "unable to create file '%s': %s", cat_path);
        return false;
    }
    // Opening made the file: a catalog that was not written whole would pass for the package's,
    // so it is deleted unless it was, once the catalog service has let go of it.
    bool written = false;
    scope_guard delete_unless_written([&] {
        if (written)
            return;
        catalog.reset();
        DeleteFileW(wide_path.get());
    });

    if (!put_catalog_attribute(catalog.get(), L"HWID1", wide_hardware_id.get())) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreateCat, GetLastError(),
                         "failed to set HWID1 cat attribute: %s");
        return false;
    }
    if (!put_catalog_attribute(catalog.get(), L"OS", kOsList)) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreateCat, GetLastError(),
                         "failed to set OS cat attribute: %s");
        return false;
    }
    search_root root;
    if (!ResolveSearchDir(search_dir, root))
        return false;

    file_list names = local_file_list(file_names, file_count);
    if (!names)
        return false;
    ScanDirAndHash(catalog.get(), root, "", names, file_count);
    names.reset();

    if (!imports.CryptCATPersistStore.get_quietly()(catalog.get())) {
        LOG_SYSTEM_ERROR(USBDRV_LOG_WARNING, kCreateCat, GetLastError(), "unable to sort file: %s");
        return false;
    }
    written = true;
    usbdrv_log(USBDRV_LOG_INFO, kCreateCat, "successfully created file '%s'", cat_path);
    return true;
}
