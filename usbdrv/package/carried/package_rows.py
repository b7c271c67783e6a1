"""The rows of the embedded file table, in extraction order, and how each is supplied.

Rows 0 to 17 are other makers' driver files. The build makes a stand-in for each (make_standins.py),
which a real file in the vendor driver folder replaces (README.md, "Vendor driver files"). Rows 18
and 19 are the two builds of the installer helper, rows 20 to 27 the templates.
"""

from dataclasses import dataclass
from typing import Optional


@dataclass(frozen=True)
class Row:
    subdir: str  # "." for the package folder itself, "" for a template (never written)
    name: str
    # Stand-ins only: the vendor file's modification time (seconds since 1970), the machine the
    # stand-in is built for, and what it is ("library", "driver", "program" or "text").
    timestamp: int = 0
    machine: Optional[str] = None
    kind: Optional[str] = None
    # A stand-in that is the same file as the stand-in of an earlier row: the vendor ships one
    # 32-bit library under two names, so the two rows carry identical bytes.
    same_as: Optional[int] = None
    installer: Optional[str] = None  # "x86" or "x64"

    @property
    def is_template(self) -> bool:
        return self.subdir == ""

    @property
    def relative_path(self) -> str:
        """The row's place in the package, with "/" between folders."""
        return f"{self.subdir.replace(chr(92), '/')}/{self.name}"


I686, X86_64 = "i686", "x86_64"

ROWS = [
    Row("x86", "WdfCoInstaller01011.dll", 1606897675, I686, "library"),
    Row("x86", "winusbcoinstaller2.dll", 1606897730, I686, "library"),
    Row("amd64", "WdfCoInstaller01011.dll", 1606897786, X86_64, "library"),
    Row("amd64", "winusbcoinstaller2.dll", 1606897786, X86_64, "library"),
    Row("x86", "libusb0_x86.dll", 1606898059, I686, "library"),
    Row("x86", "install-filter.exe", 1606898639, I686, "program"),
    Row("x86", "libusb0.dll", 1606898639, I686, "library"),
    Row("amd64", "libusb0_x86.dll", 1606898639, I686, "library", same_as=6),
    Row("x86", "libusb0.sys", 1606898059, I686, "driver"),
    Row("amd64", "libusb0.dll", 1606898676, X86_64, "library"),
    Row("amd64", "libusb0.sys", 1606898676, X86_64, "driver"),
    Row("amd64", "install-filter.exe", 1606898676, X86_64, "program"),
    Row("license\\libusb0", "installer_license.txt", 1606898750, None, "text"),
    Row("x86", "libusbK.sys", 1606898953, I686, "driver"),
    Row("x86", "libusbK.dll", 1606899045, I686, "library"),
    Row("amd64", "libusbK_x86.dll", 1606899045, I686, "library", same_as=14),
    Row("amd64", "libusbK.sys", 1606899100, X86_64, "driver"),
    Row("amd64", "libusbK.dll", 1606899081, X86_64, "library"),
    Row(".", "installer_x86.exe", installer="x86"),
    Row(".", "installer_x64.exe", installer="x64"),
    Row("", "winusb.inf.in"),
    Row("", "libusb0.inf.in"),
    Row("", "libusbk.inf.in"),
    Row("", "usbser.inf.in"),
    Row("", "winusb.cat.in"),
    Row("", "libusb0.cat.in"),
    Row("", "libusbk.cat.in"),
    Row("", "usbser.cat.in"),
]

STANDIN_ROWS = [i for i, row in enumerate(ROWS) if row.kind is not None]
