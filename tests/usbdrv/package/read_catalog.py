#!/usr/bin/python3
"""Reads a package's security catalog with asn1crypto, a decoder that is not the simulation's,
and checks it against the package's files, hashed here with hashlib.

    read_catalog.py FOLDER

FOLDER holds "package/" (the package, with its catalog "Corvane.cat") and "request.txt" (the
hardware ID given to CreateCat, then the listed file names, one a line), as the test
CreateCatTest.KeptForAnIndependentDecoder leaves them. Exits 1 and says why when the catalog
does not hold exactly the members and attributes the request asks for.
"""

import hashlib
import pathlib
import struct
import sys

from asn1crypto import cms, core, x509

CTL = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"
NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
CAB_DATA = "1.3.6.1.4.1.311.2.1.25"
SHA1 = "1.3.14.3.2.26"
PE_SUBJECT = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
FLAT_SUBJECT = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
ATTRIBUTE_FLAGS = 0x10010001
OS_LIST = "XP_X86,XP_X64,Vista_X86,Vista_X64,7_X86,7_X64,8_X86,8_X64,8_ARM,10_X86,10_X64,10_ARM"
MEMBER_OS_LIST = "2:5.1,2:5.2,2:6.0,2:6.1"


# The catalog's structures, as Microsoft documents the certificate trust list and Authenticode.
class AlgorithmIdentifier(core.Sequence):
    _fields = [("algorithm", core.ObjectIdentifier), ("parameters", core.Any, {"optional": True})]


class AnyValues(core.SetOf):
    _child_spec = core.Any


class Attribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AnyValues)]


class Attributes(core.SetOf):
    _child_spec = Attribute


class TrustedSubject(core.Sequence):
    _fields = [("subject_identifier", core.OctetString),
               ("attributes", Attributes, {"optional": True})]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class Extension(core.Sequence):
    _fields = [("id", core.ObjectIdentifier), ("critical", core.Boolean, {"default": False}),
               ("value", core.OctetString)]


class Extensions(core.SequenceOf):
    _child_spec = Extension


class CertificateTrustList(core.Sequence):
    _fields = [("version", core.Integer, {"default": 0}),
               ("subject_usage", SubjectUsage),
               ("list_identifier", core.OctetString, {"optional": True}),
               ("sequence_number", core.Integer, {"optional": True}),
               ("this_update", x509.Time),
               ("next_update", x509.Time, {"optional": True}),
               ("subject_algorithm", AlgorithmIdentifier),
               ("trusted_subjects", TrustedSubjects, {"optional": True}),
               ("extensions", Extensions, {"explicit": 0, "optional": True})]


class NameValue(core.Sequence):
    _fields = [("tag", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class MemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class AttributeTypeAndValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("algorithm", AlgorithmIdentifier), ("digest", core.OctetString)]


class IndirectDataContent(core.Sequence):
    _fields = [("data", AttributeTypeAndValue), ("message_digest", DigestInfo)]


class Mismatch(Exception):
    pass


def expect(condition, message):
    if not condition:
        raise Mismatch(message)


def authenticode_sha1(data):
    """The PE image hash: everything but the checksum, the certificate table's directory entry
    and the certificate table. None when the file is not a PE image."""
    if len(data) < 0x40 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    checksum = optional + 64
    security = directories + 4 * 8
    table, table_size = struct.unpack_from("<II", data, security)
    end = table if table_size else len(data)
    sha1 = hashlib.sha1()
    sha1.update(data[:checksum])
    sha1.update(data[checksum + 4:security])
    sha1.update(data[security + 8:end])
    sha1.update(data[table + table_size:] if table_size else b"")
    return sha1.digest()


def catalog_hash(path):
    data = path.read_bytes()
    return authenticode_sha1(data) or hashlib.sha1(data).digest()


def utf16z(text):
    return (text + "\0").encode("utf-16-le")


def name_values(values):
    """{name: value text} of a list of encoded name-value attributes, each checked."""
    found = {}
    for encoded in values:
        value = NameValue.load(encoded)
        name = value["tag"].native
        expect(value["flags"].native == ATTRIBUTE_FLAGS,
               f"attribute {name}: flags {value['flags'].native:#x}")
        raw = value["value"].native
        expect(raw.endswith(b"\0\0") and len(raw) % 2 == 0,
               f"attribute {name}: not UTF-16 with its terminator: {raw!r}")
        found[name] = raw.decode("utf-16-le")[:-1]
    return found


def check_member(subject, package_files):
    """Checks one trusted subject; returns its file's lower-cased name and its hash."""
    identifier = subject["subject_identifier"].native
    by_type = {}
    for attribute in subject["attributes"]:
        by_type.setdefault(attribute["type"].native, []).extend(
            value.dump() for value in attribute["values"])
    expect(sorted(by_type) == sorted([INDIRECT_DATA, MEMBER_INFO, NAME_VALUE]),
           f"member {identifier.hex()}: attributes {sorted(by_type)}")
    attributes = name_values(by_type[NAME_VALUE])
    expect(sorted(attributes) == ["File", "OSAttr"], f"member attributes {attributes}")
    expect(attributes["OSAttr"] == MEMBER_OS_LIST, f"OSAttr {attributes['OSAttr']}")
    name = attributes["File"]
    expect(name == name.lower(), f"File attribute {name} is not lower case")
    pe = name.rsplit(".", 1)[-1] in ("dll", "sys", "exe")

    info = MemberInfo.load(by_type[MEMBER_INFO][0])
    expect(info["subject_guid"].native == (PE_SUBJECT if pe else FLAT_SUBJECT),
           f"{name}: subject {info['subject_guid'].native}")
    expect(info["cert_version"].native == 0x200, f"{name}: version {info['cert_version'].native}")

    indirect = IndirectDataContent.load(by_type[INDIRECT_DATA][0])
    data_type = indirect["data"]["type"].dotted
    expect(data_type == (PE_IMAGE_DATA if pe else CAB_DATA), f"{name}: data type {data_type}")
    link = b"\xa2\x1e\x80\x1c" + "<<<Obsolete>>>".encode("utf-16-be")
    spc = indirect["data"]["value"].dump()
    expect(spc == (b"\x30\x26\x03\x02\x00\xa0\xa0\x20" + link if pe else link),
           f"{name}: SPC data {spc.hex()}")
    algorithm = indirect["message_digest"]["algorithm"]["algorithm"].dotted
    expect(algorithm == SHA1, f"{name}: digest algorithm {algorithm}")
    digest = indirect["message_digest"]["digest"].native
    expect(identifier == digest, f"{name}: tag {identifier.hex()} is not its digest {digest.hex()}")

    candidates = {catalog_hash(path) for path in package_files.get(name, [])}
    expect(digest in candidates,
           f"{name}: digest {digest.hex()} is not the hash of any {name} in the package")
    return name, digest


def check(folder):
    request = (folder / "request.txt").read_text().splitlines()
    hardware_id, listed = request[0], {name.lower() for name in request[1:] if name}
    package = folder / "package"
    package_files = {}
    for path in package.rglob("*"):
        if path.is_file():
            package_files.setdefault(path.name.lower(), []).append(path)

    info = cms.ContentInfo.load((package / "Corvane.cat").read_bytes())
    expect(info["content_type"].native == "signed_data", f"content {info['content_type'].native}")
    signed = info["content"]
    encapsulated = signed["encap_content_info"]
    expect(encapsulated["content_type"].dotted == CTL,
           f"signed content {encapsulated['content_type'].dotted}")
    # asn1crypto knows no trust list: its content is read as it stands, under its [0] tag.
    ctl = CertificateTrustList.load(encapsulated["content"].dump(), explicit=0)
    expect([usage.dotted for usage in ctl["subject_usage"]] == [CATALOG_LIST],
           "subject usage is not the catalog list")
    expect(ctl["subject_algorithm"]["algorithm"].dotted == CATALOG_LIST_MEMBER,
           "subject algorithm is not the catalog list member")

    extensions = ctl["extensions"]
    expect(all(extension["id"].dotted == NAME_VALUE for extension in extensions),
           "an extension that is not a name-value attribute")
    attributes = name_values(extension["value"].native for extension in extensions)
    expect(attributes == {"HWID1": hardware_id.lower(), "OS": OS_LIST},
           f"catalog attributes {attributes}")

    members = [check_member(subject, package_files) for subject in ctl["trusted_subjects"]]
    # Every copy of a listed file that the catalog can hold, and nothing else.
    wanted = sorted((name, catalog_hash(path)) for name, paths in package_files.items()
                    if name in listed and name.rsplit(".", 1)[-1] in ("dll", "sys", "exe", "inf")
                    for path in paths)
    expect(sorted(members) == wanted,
           f"members {[(n, d.hex()) for n, d in sorted(members)]}, "
           f"wanted {[(n, d.hex()) for n, d in wanted]}")
    inf = [digest for name, digest in members if name.endswith(".inf")]
    print(f"{len(members)} members, {len(signed['signer_infos'])} signers; "
          f"the INF's hash {inf[0].hex().upper() if inf else '(none)'} is in the catalog")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    try:
        check(pathlib.Path(sys.argv[1]))
    except Mismatch as mismatch:
        sys.exit(f"read_catalog.py: {mismatch}")


if __name__ == "__main__":
    main()
