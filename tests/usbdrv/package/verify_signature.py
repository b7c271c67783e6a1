#!/usr/bin/python3
"""Verifies a signed catalog with a verifier that is not ours (osslsigncode, Debian's), with the
certificate that signed it as the only trust anchor, and the PE files it names against it.

    verify_signature.py CERTIFICATE CATALOG [PE_FILE...]

CERTIFICATE is the certificate the machine's stores hold (DER). Each PE_FILE must verify against
the catalog. So that a pass means something, the same verifier must also refuse the catalog with
one byte of its trust list changed, and each PE file with one byte of its image changed.
OSSLSIGNCODE names another verifier program.
"""

import base64
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from asn1crypto import parser

VERIFIER = os.environ.get("OSSLSIGNCODE", "/usr/bin/osslsigncode")


def pem(der):
    text = base64.encodebytes(der).decode("ascii")
    return f"-----BEGIN CERTIFICATE-----\n{text}-----END CERTIFICATE-----\n"


def verify(anchor, catalog, member=None):
    """osslsigncode's verdict (True when it accepts) and its output."""
    command = [VERIFIER, "verify", "-CAfile", str(anchor)]
    if member is None:
        command += ["-in", str(catalog)]
    else:
        command += ["-catalog", str(catalog), "-in", str(member)]
    run = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                         stderr=subprocess.STDOUT, text=True, check=False)
    return run.returncode == 0, run.stdout


def trust_list_span(catalog):
    """Where the trust list lies in a signed-data: (start, end) of its encoding."""

    def children(data, start, end):
        at = start
        while at < end:
            _, _, _, header, content, _ = parser.parse(data[at:end], strict=False)
            yield at, at + len(header), at + len(header) + len(content)
            at += len(header) + len(content)

    def inner(data, start, end):
        """The content span of the element at start."""
        _, _, _, header, content, _ = parser.parse(data[start:end], strict=False)
        return start + len(header), start + len(header) + len(content)

    data = catalog
    s, e = inner(data, 0, len(data))                        # ContentInfo
    explicit = list(children(data, s, e))[1]                # [0] of the content info
    s, e = inner(data, explicit[1], explicit[2])            # SignedData
    encapsulated = list(children(data, s, e))[2]            # its content info
    content = list(children(data, encapsulated[1], encapsulated[2]))[1]  # its [0]
    trust_list = next(children(data, content[1], content[2]))
    return trust_list[0], trust_list[2]


def changed_at(data, offset):
    out = bytearray(data)
    out[offset] ^= 0x01  # keeps an identifier's last byte an identifier's last byte
    return bytes(out)


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    certificate, catalog = Path(sys.argv[1]), Path(sys.argv[2])
    members = [Path(p) for p in sys.argv[3:]]
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        scratch = Path(scratch)
        anchor = scratch / "anchor.pem"
        anchor.write_text(pem(certificate.read_bytes()))
        signed = catalog.read_bytes()

        def expect(accepted_wanted, what, target, member=None):
            accepted, output = verify(anchor, target, member)
            print(f"== {what}: {'accepted' if accepted else 'refused'}")
            print(output.rstrip())
            if accepted != accepted_wanted:
                failures.append(f"{what} was {'accepted' if accepted else 'refused'}")

        expect(True, f"the catalog {catalog.name}", catalog)
        _, end = trust_list_span(signed)
        tampered = scratch / "changed-trust-list.cat"
        tampered.write_bytes(changed_at(signed, end - 1))
        expect(False, "the catalog with its trust list changed", tampered)

        for member in members:
            expect(True, f"{member.name} against the catalog", catalog, member)
            image = member.read_bytes()
            changed = scratch / member.name
            changed.write_bytes(changed_at(image, len(image) - 1))
            expect(False, f"{member.name} changed, against the catalog", catalog, changed)

    for failure in failures:
        print("FAIL:", failure)
    print("ok" if not failures else f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
