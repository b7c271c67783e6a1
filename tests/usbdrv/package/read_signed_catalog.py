#!/usr/bin/python3
"""Reads the catalog that a signing test signed with a decoder that is not ours (asn1crypto), and
checks it as the system's verifier would see it.

    read_signed_catalog.py FOLDER

FOLDER holds what the test left: signed.cat, certificate.cer (the certificate the machine's
stores hold) and trust-list.der (the catalog's trust list before signing).
"""

import hashlib
import sys
from pathlib import Path

from asn1crypto import algos, cms, core, parser, x509

OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.11"
INDIVIDUAL_CODE_SIGNING = "1.3.6.1.4.1.311.2.1.21"
CERTIFICATE_TRUST_LIST = "1.3.6.1.4.1.311.10.1"

# The two attributes the program gives the signer, byte for byte.
GIVEN_ATTRIBUTES = {
    OPUS_INFO: bytes.fromhex("3000"),
    STATEMENT_TYPE: bytes.fromhex("300C060A2B060104018237020115"),
}
# The ones every signer adds itself.
SIGNER_ATTRIBUTES = {"content_type", "message_digest"}


def rsa_signature_valid(certificate, digest_algorithm, signed, signature):
    """PKCS #1 v1.5: the signature, raised to the public exponent, is the padded DigestInfo."""
    key = certificate.public_key["public_key"].parsed
    modulus, exponent = key["modulus"].native, key["public_exponent"].native
    size = (modulus.bit_length() + 7) // 8
    recovered = pow(int.from_bytes(signature, "big"), exponent, modulus).to_bytes(size, "big")
    digest = hashlib.new(digest_algorithm, signed).digest()
    info = algos.DigestInfo({
        "digest_algorithm": {"algorithm": digest_algorithm},
        "digest": digest,
    }).dump()
    return recovered == b"\x00\x01" + b"\xff" * (size - len(info) - 3) + b"\x00" + info


def check(folder):
    problems = []

    def expect(condition, message):
        if not condition:
            problems.append(message)

    stored = x509.Certificate.load((folder / "certificate.cer").read_bytes())
    trust_list = (folder / "trust-list.der").read_bytes()
    info = cms.ContentInfo.load((folder / "signed.cat").read_bytes())

    expect(info["content_type"].native == "signed_data", "not a signed-data")
    signed = info["content"]
    content = signed["encap_content_info"]
    expect(content["content_type"].dotted == CERTIFICATE_TRUST_LIST,
           f"content type {content['content_type'].dotted}")
    # PKCS #7 carries the trust list as it is; CMS would wrap it in an OCTET STRING.
    carried = parser.parse(content["content"].dump())[4]  # inside the [0]
    if carried[:1] == b"\x04":
        carried = core.OctetString.load(carried).native
    print("content:", content["content_type"].dotted, len(carried), "bytes")
    expect(carried == trust_list, "the trust list changed")

    certificates = [c.chosen for c in signed["certificates"]]
    expect(any(c.dump() == stored.dump() for c in certificates),
           "the stored certificate is not among the message's certificates")
    print("certificates:", [c.subject.human_friendly for c in certificates])

    signers = list(signed["signer_infos"])
    expect(len(signers) == 1, f"{len(signers)} signers")
    if len(signers) != 1:
        return problems
    signer = signers[0]
    sid = signer["sid"].chosen
    expect(sid["issuer"] == stored.issuer and sid["serial_number"].native == stored.serial_number,
           "the signer is not the stored certificate")
    digest_algorithm = signer["digest_algorithm"]["algorithm"].native
    expect(digest_algorithm == "sha256", f"digest algorithm {digest_algorithm}")
    expect(signer["signature_algorithm"]["algorithm"].native in ("rsassa_pkcs1v15", "sha256_rsa"),
           f"signature algorithm {signer['signature_algorithm']['algorithm'].native}")
    print("signer:", sid["issuer"].human_friendly, "serial", sid["serial_number"].native,
          "digest", digest_algorithm)

    attributes = {}
    for attribute in signer["signed_attrs"]:
        kind = attribute["type"]
        name = kind.native if kind.native != kind.dotted else kind.dotted
        values = list(attribute["values"])
        expect(len(values) == 1, f"{name} has {len(values)} values")
        attributes[name] = values[0]
        print("authenticated attribute:", name, values[0].dump().hex().upper())
    expect(set(attributes) == set(GIVEN_ATTRIBUTES) | SIGNER_ATTRIBUTES,
           f"authenticated attributes {sorted(attributes)}")
    for oid, value in GIVEN_ATTRIBUTES.items():
        if oid in attributes:
            expect(attributes[oid].dump() == value,
                   f"{oid} is {attributes[oid].dump().hex().upper()}, not {value.hex().upper()}")
    if STATEMENT_TYPE in attributes:
        purposes = core.SequenceOf.load(attributes[STATEMENT_TYPE].dump(), spec=core.ObjectIdentifier)
        expect([p.dotted for p in purposes] == [INDIVIDUAL_CODE_SIGNING], "statement type")
    if "content_type" in attributes:
        expect(attributes["content_type"].dotted == CERTIFICATE_TRUST_LIST,
               f"the content-type attribute names {attributes['content_type'].dotted}")
    if "message_digest" in attributes:
        # The contents octets of the trust list's encoding, without its tag and length.
        digested = parser.parse(trust_list)[4]
        expect(attributes["message_digest"].native == hashlib.new(digest_algorithm, digested).digest(),
               "the message digest is not the trust list's")
    # No time stamp, nor anything else, outside the signature.
    expect(not signer["unsigned_attrs"].native, "unauthenticated attributes")

    # The signature covers the authenticated attributes, encoded as a SET.
    signed_attributes = b"\x31" + signer["signed_attrs"].dump()[1:]
    expect(rsa_signature_valid(stored, digest_algorithm, signed_attributes,
                               signer["signature"].native),
           "the signature does not verify with the certificate's key")
    return problems


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    folder = Path(sys.argv[1])
    problems = check(folder)
    for problem in problems:
        print("FAIL:", problem)
    print("ok" if not problems else f"{len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
