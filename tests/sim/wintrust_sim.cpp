// wintrust.dll of the simulated machine (tests/sim/README.md): the catalog services, which Wine
// lacks (it cannot put an attribute or write a catalog). A catalog is built in memory and written
// at CryptCATPersistStore as Windows writes it: a PKCS #7 signed-data without a signer whose
// content is a certificate trust list, one entry per member. Wine's crypt32 encodes the list;
// what is wintrust's own on Windows (the name-value and member-info attributes, the SIP indirect
// data, the SpcLink and SpcPeImageData that crypt32 hands to wintrust for encoding) and the
// signed-data envelope, which Wine writes wrongly without a signer, are written here.
//
// Every call is journaled with its arguments; the scenario's [catalog] section makes calls fail.
// The prototypes are the SDK's own, so that a signature cannot drift from what programs call.
#include <windows.h>
#include <mscat.h>
#include <mssip.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "der_writer.h"
#include "file_hash_ranges.h"
#include "sim_handles.h"
#include "sim_state.h"
#include "win/handles.h"

// The encoders crypt32 calls for the SPC types that wintrust registers with it (CryptEncodeObject
// with SPC_PE_IMAGE_DATA_OBJID, SPC_CAB_DATA_OBJID, SPC_LINK_OBJID). No SDK header declares them.
extern "C" {
BOOL WINAPI WVTAsn1SpcLinkEncode(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                 const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded);
BOOL WINAPI WVTAsn1SpcPeImageDataEncode(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                        const void* pvStructInfo, BYTE* pbEncoded,
                                        DWORD* pcbEncoded);
}

namespace {

using sim::journal;

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 texts");

// The identifiers of a catalog's trust list (not in the SDK headers).
char kCatalogList[] = "1.3.6.1.4.1.311.12.1.1";
char kCatalogListMember[] = "1.3.6.1.4.1.311.12.1.2";
char kNameValue[] = CAT_NAMEVALUE_OBJID;
char kMemberInfo[] = CAT_MEMBERINFO_OBJID;
char kIndirectData[] = SPC_INDIRECT_DATA_OBJID;
char kCtl[] = szOID_CTL;
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
constexpr DWORD kHashBytes = 20;  // SHA-1
// Larger files are not driver files; refusing them keeps a wrong handle from eating memory.
constexpr LONGLONG kMaxHashedBytes = 256 * 1024 * 1024;

struct attribute {
    std::wstring name;
    DWORD flags = 0;
    std::vector<BYTE> value;
    CRYPTCATATTRIBUTE record = {};
};

struct member {
    std::wstring tag;
    std::optional<std::wstring> file;
    GUID subject = {};
    DWORD version = 0;
    std::string data_type;
    std::vector<BYTE> data;
    std::string digest_algorithm;
    std::vector<BYTE> digest_parameters;
    std::vector<BYTE> digest;
    std::list<attribute> attributes;  // a list, so that the records handed out stay put
    SIP_INDIRECT_DATA indirect = {};
    CRYPTCATMEMBER record = {};
};

struct catalog {
    std::wstring path;
    unique_file_handle file;
    std::list<attribute> attributes;
    std::list<member> members;
};

// Guarded by sim::state_lock. The handle is the address of its catalog.
std::map<HANDLE, std::unique_ptr<catalog>> catalogs;

catalog* find_catalog(HANDLE handle) {
    auto found = catalogs.find(handle);
    return found == catalogs.end() ? nullptr : found->second.get();
}

std::string outcome_text(DWORD error) {
    return error ? sim::error_name(error) : "ok";
}

// The failure the scenario gives a call: the machine is read afresh at each call.
std::optional<uint32_t> scenario_failure(const char* key) {
    return sim::refresh_machine()->failure("catalog", key);
}

std::string hex_bytes(const BYTE* data, size_t size) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < size; i++) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
    }
    return text;
}

std::string hex_bytes(const std::vector<BYTE>& data) {
    return hex_bytes(data.data(), data.size());
}

std::string text_or_null(const wchar_t* text) {
    return text ? sim::utf8_of(text) : "(null)";
}

std::u16string utf16(std::wstring_view text) {
    return std::u16string(text.begin(), text.end());
}

// An attribute's value as the journal shows it: a text up to its terminator, other data in hex.
std::string value_text(DWORD flags, const BYTE* data, DWORD size) {
    if (!data)
        return "(null)";
    if (!(flags & CRYPTCAT_ATTR_DATAASCII))
        return hex_bytes(data, size);
    std::wstring text(size / sizeof(wchar_t), L'\0');
    memcpy(text.data(), data, text.size() * sizeof(wchar_t));
    return sim::utf8_of(text.substr(0, text.find(L'\0')));
}

// Exactly one of authenticated and unauthenticated, a name, and data where a size is given.
bool valid_attribute(const wchar_t* name, DWORD flags, DWORD size, const BYTE* data) {
    const DWORD authentication =
        flags & (CRYPTCAT_ATTR_AUTHENTICATED | CRYPTCAT_ATTR_UNAUTHENTICATED);
    return name && *name && (size == 0 || data) &&
           (authentication == CRYPTCAT_ATTR_AUTHENTICATED ||
            authentication == CRYPTCAT_ATTR_UNAUTHENTICATED);
}

// Adds an attribute to a catalog's or a member's list. A name is there once: an existing one is
// replaced only when the flags ask for it (CRYPTCAT_ATTR_DATAREPLACE), else the call fails.
CRYPTCATATTRIBUTE* put_attribute(std::list<attribute>& list, const wchar_t* name, DWORD flags,
                                 DWORD size, const BYTE* data, DWORD& error) {
    attribute* target = nullptr;
    for (attribute& a : list) {
        if (_wcsicmp(a.name.c_str(), name) == 0)
            target = &a;
    }
    if (target && !(flags & CRYPTCAT_ATTR_DATAREPLACE)) {
        error = static_cast<DWORD>(CRYPT_E_EXISTS);
        return nullptr;
    }
    if (!target) {
        list.emplace_back();
        target = &list.back();
        target->name = name;
    }
    target->flags = flags;
    target->value.assign(data, data + size);
    target->record.cbStruct = sizeof target->record;
    target->record.pwszReferenceTag = target->name.data();
    target->record.dwAttrTypeAndAction = flags;
    target->record.cbValue = size;
    target->record.pbValue = target->value.data();
    return &target->record;
}

// A SIP record of at least its own size, whose identifiers are identifiers and whose blobs hold
// what their sizes say.
bool valid_indirect_data(const SIP_INDIRECT_DATA* sip, DWORD size) {
    auto valid_blob = [](const CRYPT_DATA_BLOB& blob) { return blob.cbData == 0 || blob.pbData; };
    return sip && size >= sizeof *sip && sip->Data.pszObjId && sip->DigestAlgorithm.pszObjId &&
           der::object_identifier(sip->Data.pszObjId) &&
           der::object_identifier(sip->DigestAlgorithm.pszObjId) && valid_blob(sip->Data.Value) &&
           valid_blob(sip->DigestAlgorithm.Parameters) && valid_blob(sip->Digest);
}

// A new member, holding copies of everything it was given.
member& add_member(catalog& c, const wchar_t* filename, const wchar_t* tag, const GUID& subject,
                   DWORD version, const SIP_INDIRECT_DATA& sip) {
    auto copy = [](const BYTE* data, DWORD size) {
        return size ? std::vector<BYTE>(data, data + size) : std::vector<BYTE>();
    };
    c.members.emplace_back();
    member& m = c.members.back();
    m.tag = tag;
    if (filename)
        m.file = filename;
    m.subject = subject;
    m.version = version;
    m.data_type = sip.Data.pszObjId;
    m.data = copy(sip.Data.Value.pbData, sip.Data.Value.cbData);
    m.digest_algorithm = sip.DigestAlgorithm.pszObjId;
    m.digest_parameters =
        copy(sip.DigestAlgorithm.Parameters.pbData, sip.DigestAlgorithm.Parameters.cbData);
    m.digest = copy(sip.Digest.pbData, sip.Digest.cbData);

    m.indirect.Data.pszObjId = m.data_type.data();
    m.indirect.Data.Value = {static_cast<DWORD>(m.data.size()), m.data.data()};
    m.indirect.DigestAlgorithm.pszObjId = m.digest_algorithm.data();
    m.indirect.DigestAlgorithm.Parameters = {static_cast<DWORD>(m.digest_parameters.size()),
                                             m.digest_parameters.data()};
    m.indirect.Digest = {static_cast<DWORD>(m.digest.size()), m.digest.data()};
    m.record.cbStruct = sizeof m.record;
    m.record.pwszReferenceTag = m.tag.data();
    m.record.pwszFileName = m.file ? m.file->data() : nullptr;
    m.record.gSubjectType = m.subject;
    m.record.pIndirectData = &m.indirect;
    m.record.dwCertVersion = m.version;
    return m;
}

// Puts an attribute into a catalog's or a member's list (null when the catalog or member is not
// known), unless the scenario's key fails it, and journals the call after the leading fields.
CRYPTCATATTRIBUTE* answer_put_attribute(std::vector<std::string> fields, std::list<attribute>* list,
                                        const char* key, const wchar_t* name, DWORD flags,
                                        DWORD size, const BYTE* data) {
    DWORD error = ERROR_SUCCESS;
    CRYPTCATATTRIBUTE* result = nullptr;
    if (!list || !valid_attribute(name, flags, size, data))
        error = ERROR_INVALID_PARAMETER;
    else if (std::optional<uint32_t> failure = scenario_failure(key))
        error = *failure;
    else
        result = put_attribute(*list, name, flags, size, data, error);
    fields.insert(fields.end(), {text_or_null(name), sim::hex(flags), std::to_string(size),
                                 value_text(flags, data, size), outcome_text(error)});
    journal(fields);
    SetLastError(error);
    return result;
}

// ---- The file written at CryptCATPersistStore ------------------------------------------------

der::bytes oid(const std::string& dotted) {
    return der::object_identifier(dotted).value_or(der::bytes{});
}

// CatNameValue ::= SEQUENCE { tag BMPString, flags INTEGER, value OCTET STRING }
der::bytes name_value(const attribute& a) {
    return der::sequence({der::bmp_string(utf16(a.name)), der::integer(a.flags),
                          der::octet_string(a.value.data(), a.value.size())});
}

// CatMemberInfo ::= SEQUENCE { subjectGuid BMPString, certVersion INTEGER }
der::bytes member_info(const member& m) {
    const std::string guid = sim::guid_text(m.subject);
    return der::sequence(
        {der::bmp_string(std::u16string(guid.begin(), guid.end())), der::integer(m.version)});
}

// SpcIndirectDataContent ::= SEQUENCE { data SEQUENCE { type OID, value ANY OPTIONAL },
//     messageDigest SEQUENCE { digestAlgorithm AlgorithmIdentifier, digest OCTET STRING } }
// Empty digest parameters are written as NULL, as the system writes them.
der::bytes indirect_data(const member& m) {
    der::bytes data = oid(m.data_type);
    data.insert(data.end(), m.data.begin(), m.data.end());
    const der::bytes parameters = m.digest_parameters.empty() ? der::null() : m.digest_parameters;
    der::bytes algorithm = oid(m.digest_algorithm);
    algorithm.insert(algorithm.end(), parameters.begin(), parameters.end());
    return der::sequence({der::tlv(der::kSequence, data),
                          der::sequence({der::tlv(der::kSequence, algorithm),
                                         der::octet_string(m.digest.data(), m.digest.size())})});
}

// A tag of hexadecimal digit pairs (a file's hash) is stored as the bytes it spells; any other
// tag as its UTF-16 text with the terminator.
std::vector<BYTE> subject_identifier(const std::wstring& tag) {
    auto digit = [](wchar_t c) -> int {
        if (c >= L'0' && c <= L'9')
            return c - L'0';
        if (c >= L'A' && c <= L'F')
            return c - L'A' + 10;
        if (c >= L'a' && c <= L'f')
            return c - L'a' + 10;
        return -1;
    };
    std::vector<BYTE> bytes;
    bool hexadecimal = !tag.empty() && tag.size() % 2 == 0;
    for (size_t i = 0; hexadecimal && i < tag.size(); i += 2) {
        const int high = digit(tag[i]), low = digit(tag[i + 1]);
        hexadecimal = high >= 0 && low >= 0;
        bytes.push_back(static_cast<BYTE>(high << 4 | low));
    }
    if (hexadecimal)
        return bytes;
    bytes.resize((tag.size() + 1) * sizeof(wchar_t));
    memcpy(bytes.data(), tag.c_str(), bytes.size());
    return bytes;
}

// The catalog's trust list, in the order the members were put, encoded by crypt32.
bool encode_trust_list(const catalog& c, std::vector<BYTE>& encoded, DWORD& error) {
    // Everything the CTL_INFO points at lives here until the encoding is done.
    std::list<der::bytes> blobs;
    auto blob = [&blobs](der::bytes bytes) {
        blobs.push_back(std::move(bytes));
        return CRYPT_DATA_BLOB{static_cast<DWORD>(blobs.back().size()), blobs.back().data()};
    };
    std::list<std::vector<CRYPT_ATTR_BLOB>> values;
    auto attribute_of = [&](char* id, der::bytes value) {
        values.push_back({blob(std::move(value))});
        return CRYPT_ATTRIBUTE{id, 1, values.back().data()};
    };

    std::vector<CERT_EXTENSION> extensions;
    for (const attribute& a : c.attributes)
        extensions.push_back({kNameValue, FALSE, blob(name_value(a))});

    std::list<std::vector<CRYPT_ATTRIBUTE>> entry_attributes;
    std::vector<CTL_ENTRY> entries;
    for (const member& m : c.members) {
        std::vector<CRYPT_ATTRIBUTE> list = {attribute_of(kIndirectData, indirect_data(m)),
                                             attribute_of(kMemberInfo, member_info(m))};
        for (const attribute& a : m.attributes)
            list.push_back(attribute_of(kNameValue, name_value(a)));
        entry_attributes.push_back(std::move(list));
        const std::vector<BYTE> identifier = subject_identifier(m.tag);
        CTL_ENTRY entry = {};
        entry.SubjectIdentifier = blob(der::bytes(identifier.begin(), identifier.end()));
        entry.cAttribute = static_cast<DWORD>(entry_attributes.back().size());
        entry.rgAttribute = entry_attributes.back().data();
        entries.push_back(entry);
    }

    sim::unique_provider provider;
    BYTE list_identifier[16] = {};
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT) ||
        !CryptGenRandom(provider.get(), sizeof list_identifier, list_identifier)) {
        error = GetLastError();
        return false;
    }
    char* usage[] = {kCatalogList};
    CTL_INFO info = {};
    info.dwVersion = CTL_V1;
    info.SubjectUsage = {1, usage};
    info.ListIdentifier = {sizeof list_identifier, list_identifier};
    GetSystemTimeAsFileTime(&info.ThisUpdate);
    info.SubjectAlgorithm.pszObjId = kCatalogListMember;
    info.SubjectAlgorithm.Parameters = blob(der::null());
    info.cCTLEntry = static_cast<DWORD>(entries.size());
    info.rgCTLEntry = entries.data();
    info.cExtension = static_cast<DWORD>(extensions.size());
    info.rgExtension = extensions.data();

    BYTE* output = nullptr;
    DWORD size = 0;
    if (!CryptEncodeObjectEx(kEncoding, PKCS_CTL, &info, CRYPT_ENCODE_ALLOC_FLAG, nullptr, &output,
                             &size)) {
        error = GetLastError();
        return false;
    }
    unique_local<BYTE> owned(output);
    encoded.assign(output, output + size);
    return true;
}

// The trust list as the content of a signed-data message without a signer: the catalog as it
// stands before it is signed. Wine's crypt32 leaves out the digest-algorithm and signer sets
// when there is no signer, which PKCS #7 requires (empty) and Windows writes, so this envelope
// is written here.
bool encode_catalog(const catalog& c, std::vector<BYTE>& encoded, DWORD& error) {
    std::vector<BYTE> trust_list;
    if (!encode_trust_list(c, trust_list, error))
        return false;
    const der::bytes content_info =
        der::sequence({oid(kCtl), der::tlv(der::context(0, true),
                                           der::bytes(trust_list.begin(), trust_list.end()))});
    const der::bytes signed_data = der::sequence(
        {der::integer(1), der::tlv(der::kSet, {}), content_info, der::tlv(der::kSet, {})});
    const der::bytes message =
        der::sequence({oid(szOID_RSA_signedData), der::tlv(der::context(0, true), signed_data)});
    encoded.assign(message.begin(), message.end());
    return true;
}

// Replaces the file's content through the handle the catalog was opened with.
bool write_catalog_file(HANDLE file, const std::vector<BYTE>& content, DWORD& error) {
    DWORD written = 0;
    if (!SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
        !WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        !SetEndOfFile(file)) {
        error = GetLastError();
        return false;
    }
    return true;
}

// ---- The SPC encoders --------------------------------------------------------------------------

// SpcLink ::= CHOICE { url [0] IMPLICIT IA5String, moniker [1] IMPLICIT SpcSerializedObject,
//                      file [2] EXPLICIT SpcString }, SpcString ::= CHOICE { unicode [0] IMPLICIT
// BMPString, ... }
std::optional<der::bytes> spc_link(const SPC_LINK& link) {
    switch (link.dwLinkChoice) {
        case SPC_URL_LINK_CHOICE: {
            if (!link.pwszUrl)
                return std::nullopt;
            const std::string url = sim::utf8_of(link.pwszUrl);
            der::bytes text = der::ia5_string(url);
            text[0] = der::context(0, false);
            return text;
        }
        case SPC_MONIKER_LINK_CHOICE: {
            const SPC_SERIALIZED_OBJECT& moniker = link.Moniker;
            der::bytes content = der::octet_string(moniker.ClassId, sizeof moniker.ClassId);
            der::bytes data =
                der::octet_string(moniker.SerializedData.pbData, moniker.SerializedData.cbData);
            content.insert(content.end(), data.begin(), data.end());
            return der::tlv(der::context(1, true), content);
        }
        case SPC_FILE_LINK_CHOICE: {
            if (!link.pwszFile)
                return std::nullopt;
            der::bytes text = der::bmp_string(utf16(link.pwszFile));
            text[0] = der::context(0, false);
            return der::tlv(der::context(2, true), text);
        }
    }
    return std::nullopt;
}

// SpcPeImageData ::= SEQUENCE { flags BIT STRING, file [0] EXPLICIT SpcLink OPTIONAL }
std::optional<der::bytes> spc_pe_image_data(const SPC_PE_IMAGE_DATA& image) {
    der::bytes content =
        der::bit_string(image.Flags.pbData, image.Flags.cbData, image.Flags.cUnusedBits);
    if (image.pFile) {
        std::optional<der::bytes> link = spc_link(*image.pFile);
        if (!link)
            return std::nullopt;
        der::bytes file = der::tlv(der::context(0, true), *link);
        content.insert(content.end(), file.begin(), file.end());
    }
    return der::tlv(der::kSequence, content);
}

std::string struct_type_text(LPCSTR type) {
    if (IS_INTRESOURCE(type))
        return "#" + std::to_string(reinterpret_cast<uintptr_t>(type));
    return type;
}

// The legacy encoder convention of CryptEncodeObject: without a buffer, the size; with one that
// is too small, the size and ERROR_MORE_DATA.
BOOL answer_encoding(const char* function, LPCSTR type, std::optional<der::bytes> encoding,
                     BYTE* buffer, DWORD* size) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    if (!size)
        error = ERROR_INVALID_PARAMETER;
    else if (std::optional<uint32_t> failure = scenario_failure("encode"))
        error = *failure;
    else if (!encoding)
        error = static_cast<DWORD>(E_INVALIDARG);
    else if (buffer && *size < encoding->size())
        error = ERROR_MORE_DATA;
    if (size && encoding && (error == ERROR_SUCCESS || error == ERROR_MORE_DATA))
        *size = static_cast<DWORD>(encoding->size());
    if (!error && buffer)
        memcpy(buffer, encoding->data(), encoding->size());
    journal({function, struct_type_text(type),
             error ? sim::error_name(error)
                   : "ok " + (buffer ? hex_bytes(*encoding) : std::to_string(encoding->size()))});
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

// ---- Hashing -----------------------------------------------------------------------------------

std::string path_of(HANDLE file) {
    wchar_t path[1024];
    DWORD length = GetFinalPathNameByHandleW(file, path, ARRAYSIZE(path), FILE_NAME_NORMALIZED);
    if (length == 0 || length >= ARRAYSIZE(path))
        return "(unknown file)";
    std::wstring text(path, length);
    if (text.rfind(L"\\\\?\\", 0) == 0)
        text.erase(0, 4);
    return sim::utf8_of(text);
}

bool read_whole_file(HANDLE file, std::vector<BYTE>& content, DWORD& error) {
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file, &size) ||
        !SetFilePointerEx(file, LARGE_INTEGER{}, nullptr, FILE_BEGIN)) {
        error = GetLastError();
        return false;
    }
    if (size.QuadPart > kMaxHashedBytes) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    content.resize(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    while (done < content.size()) {
        DWORD read = 0;
        if (!ReadFile(file, content.data() + done, static_cast<DWORD>(content.size() - done), &read,
                      nullptr)) {
            error = GetLastError();
            return false;
        }
        if (read == 0)
            break;  // the file shrank meanwhile
        done += read;
    }
    content.resize(done);
    return true;
}

// SHA-1 over the ranges, by the system's own hash provider.
bool sha1_of(const std::vector<BYTE>& content, const std::vector<sim::byte_range>& ranges,
             BYTE (&hash)[kHashBytes], DWORD& error) {
    sim::unique_provider provider;
    HCRYPTHASH sha1 = 0;
    if (!CryptAcquireContextW(provider.put(), nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT) ||
        !CryptCreateHash(provider.get(), CALG_SHA1, 0, 0, &sha1)) {
        error = GetLastError();
        return false;
    }
    scope_guard destroy_hash([sha1] { CryptDestroyHash(sha1); });
    for (const sim::byte_range& range : ranges) {
        if (!CryptHashData(sha1, content.data() + range.begin,
                           static_cast<DWORD>(range.end - range.begin), 0)) {
            error = GetLastError();
            return false;
        }
    }
    DWORD size = kHashBytes;
    if (!CryptGetHashParam(sha1, HP_HASHVAL, hash, &size, 0)) {
        error = GetLastError();
        return false;
    }
    return true;
}

}  // namespace

HANDLE WINAPI CryptCATOpen(LPWSTR pwszFileName, DWORD fdwOpenFlags, HCRYPTPROV hProv,
                           DWORD dwPublicVersion, DWORD dwEncodingType) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    auto created = std::make_unique<catalog>();
    if (!pwszFileName || !*pwszFileName) {
        error = ERROR_INVALID_PARAMETER;
    } else if ((fdwOpenFlags & ~CRYPTCAT_OPEN_FLAGS_MASK) != CRYPTCAT_OPEN_CREATENEW) {
        // This machine makes catalogs; it does not read them.
        error = ERROR_NOT_SUPPORTED;
    } else if (std::optional<uint32_t> failure = scenario_failure("open")) {
        error = *failure;
    } else {
        // A new catalog replaces the file at once; it is written at CryptCATPersistStore.
        created->path = pwszFileName;
        created->file.reset(CreateFileW(pwszFileName, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                        nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!created->file)
            error = GetLastError();
    }
    journal({"CryptCATOpen", text_or_null(pwszFileName), sim::hex(fdwOpenFlags),
             hProv ? "provider" : "no provider", sim::hex(dwPublicVersion),
             sim::hex(dwEncodingType), outcome_text(error)});
    SetLastError(error);
    if (error)
        return INVALID_HANDLE_VALUE;
    HANDLE handle = created.get();
    catalogs.emplace(handle, std::move(created));
    return handle;
}

BOOL WINAPI CryptCATClose(HANDLE hCatalog) {
    sim::state_lock lock;
    catalog* c = find_catalog(hCatalog);
    journal({"CryptCATClose", c ? sim::utf8_of(c->path) : "(unknown catalog)",
             c ? "ok" : sim::error_name(ERROR_INVALID_PARAMETER)});
    if (!c) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    catalogs.erase(hCatalog);
    return TRUE;
}

CRYPTCATATTRIBUTE* WINAPI CryptCATPutCatAttrInfo(HANDLE catalog, WCHAR* name, DWORD flags,
                                                 DWORD size, BYTE* data) {
    sim::state_lock lock;
    ::catalog* c = find_catalog(catalog);
    return answer_put_attribute({"CryptCATPutCatAttrInfo"}, c ? &c->attributes : nullptr,
                                "put_catalog_attribute", name, flags, size, data);
}

CRYPTCATMEMBER* WINAPI CryptCATPutMemberInfo(HANDLE catalog, WCHAR* filename, WCHAR* tag,
                                             GUID* subject, DWORD version, DWORD size, BYTE* data) {
    sim::state_lock lock;
    ::catalog* c = find_catalog(catalog);
    const auto* sip = reinterpret_cast<const SIP_INDIRECT_DATA*>(data);
    const bool sip_valid = valid_indirect_data(sip, size);
    DWORD error = ERROR_SUCCESS;
    if (!c || !tag || !*tag || !subject || !sip_valid)
        error = ERROR_INVALID_PARAMETER;
    else if (std::optional<uint32_t> failure = scenario_failure("put_member"))
        error = *failure;

    // What was asked, whether or not it is taken.
    std::vector<std::string> fields = {
        "CryptCATPutMemberInfo", text_or_null(tag), text_or_null(filename),
        subject ? sim::guid_text(*subject) : "(null)", sim::hex(version)};
    if (sip_valid) {
        const CRYPT_ALGORITHM_IDENTIFIER& algorithm = sip->DigestAlgorithm;
        fields.insert(
            fields.end(),
            {sip->Data.pszObjId, hex_bytes(sip->Data.Value.pbData, sip->Data.Value.cbData),
             algorithm.pszObjId,
             hex_bytes(algorithm.Parameters.pbData, algorithm.Parameters.cbData),
             hex_bytes(sip->Digest.pbData, sip->Digest.cbData)});
    }

    member* result = nullptr;
    bool existing = false;
    if (error == ERROR_SUCCESS) {
        // A tag names one member: putting it again gives the member it names.
        for (member& m : c->members) {
            if (m.tag == tag)
                result = &m;
        }
        existing = result != nullptr;
        if (!result)
            result = &add_member(*c, filename, tag, *subject, version, *sip);
    }
    fields.push_back(existing ? "ok existing" : outcome_text(error));
    journal(fields);
    SetLastError(error);
    return result ? &result->record : nullptr;
}

CRYPTCATATTRIBUTE* WINAPI CryptCATPutAttrInfo(HANDLE catalog, CRYPTCATMEMBER* member_record,
                                              WCHAR* name, DWORD flags, DWORD size, BYTE* data) {
    sim::state_lock lock;
    ::catalog* c = find_catalog(catalog);
    member* owner = nullptr;
    if (c) {
        for (member& m : c->members) {
            if (&m.record == member_record)
                owner = &m;
        }
    }
    return answer_put_attribute(
        {"CryptCATPutAttrInfo", owner ? sim::utf8_of(owner->tag) : "(unknown member)"},
        owner ? &owner->attributes : nullptr, "put_member_attribute", name, flags, size, data);
}

BOOL WINAPI CryptCATPersistStore(HANDLE catalog) {
    sim::state_lock lock;
    ::catalog* c = find_catalog(catalog);
    DWORD error = ERROR_SUCCESS;
    std::vector<BYTE> content;
    if (!c)
        error = ERROR_INVALID_PARAMETER;
    else if (std::optional<uint32_t> failure = scenario_failure("persist"))
        error = *failure;
    else if (encode_catalog(*c, content, error))
        write_catalog_file(c->file.get(), content, error);
    journal({"CryptCATPersistStore", c ? sim::utf8_of(c->path) : "(unknown catalog)",
             c ? std::to_string(c->members.size()) + " members" : "",
             error ? sim::error_name(error) : "ok " + std::to_string(content.size()) + " bytes"});
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI CryptCATAdminCalcHashFromFileHandle(HANDLE hFile, DWORD* pcbHash, BYTE* pbHash,
                                                DWORD dwFlags) {
    sim::state_lock lock;
    DWORD error = ERROR_SUCCESS;
    BYTE hash[kHashBytes] = {};
    sim::file_hash_ranges plan;
    if (!hFile || hFile == INVALID_HANDLE_VALUE || !pcbHash || dwFlags) {
        error = ERROR_INVALID_PARAMETER;
    } else if (std::optional<uint32_t> failure = scenario_failure("hash")) {
        error = *failure;
    } else if (pbHash && *pcbHash < kHashBytes) {
        error = ERROR_INSUFFICIENT_BUFFER;
    } else if (pbHash) {
        std::vector<BYTE> content;
        if (read_whole_file(hFile, content, error)) {
            plan = sim::hash_ranges_of(content.data(), content.size());
            if (sha1_of(content, plan.ranges, hash, error))
                memcpy(pbHash, hash, kHashBytes);
        }
    }
    if (pcbHash && (error == ERROR_SUCCESS || error == ERROR_INSUFFICIENT_BUFFER))
        *pcbHash = kHashBytes;
    std::string outcome = outcome_text(error);
    if (!error && pbHash)
        outcome += " " + hex_bytes(hash, kHashBytes);
    journal({"CryptCATAdminCalcHashFromFileHandle",
             hFile && hFile != INVALID_HANDLE_VALUE ? path_of(hFile) : "(no file)",
             plan.pe_image ? "pe image" : "flat", outcome});
    SetLastError(error);
    return error == ERROR_SUCCESS;
}

BOOL WINAPI WVTAsn1SpcLinkEncode(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                 const void* pvStructInfo, BYTE* pbEncoded, DWORD* pcbEncoded) {
    (void)dwCertEncodingType;
    const auto* link = static_cast<const SPC_LINK*>(pvStructInfo);
    return answer_encoding("WVTAsn1SpcLinkEncode", lpszStructType,
                           link ? spc_link(*link) : std::nullopt, pbEncoded, pcbEncoded);
}

BOOL WINAPI WVTAsn1SpcPeImageDataEncode(DWORD dwCertEncodingType, LPCSTR lpszStructType,
                                        const void* pvStructInfo, BYTE* pbEncoded,
                                        DWORD* pcbEncoded) {
    (void)dwCertEncodingType;
    const auto* image = static_cast<const SPC_PE_IMAGE_DATA*>(pvStructInfo);
    return answer_encoding("WVTAsn1SpcPeImageDataEncode", lpszStructType,
                           image ? spc_pe_image_data(*image) : std::nullopt, pbEncoded, pcbEncoded);
}
