#!/usr/bin/python3
# SPDX-License-Identifier: Zlib
# A packed stub read back by pefile, a PE reader apart from the packer's own: every resource of the
# bare stub is still there with its bytes, every added one is there under the name and type it was
# given (string names and types upper-cased), the payload starts on a page of its own and the
# rest 8-byte aligned, and the optional header's checksum is the image's. The version block, the
# bare stub's and one built from the packer's options, reads as the strings and numbers given.
#   packed_read_back_test.py PACK_STUB BARE_STUB
import os
import random
import subprocess
import sys
import tempfile

import pefile

pack, bare = sys.argv[1], sys.argv[2]
failures = []


def resources(path):
    """{(type, name, language): (bytes, file offset)} of the image at path."""
    pe = pefile.PE(path)
    found = {}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for kind in directory.entries if directory else []:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                data = language.data.struct
                key = (str(kind.name) if kind.name is not None else kind.id,
                       str(name.name) if name.name is not None else name.id, language.id)
                found[key] = (pe.get_data(data.OffsetToData, data.Size),
                              pe.get_offset_from_rva(data.OffsetToData))
    return pe, found


with tempfile.TemporaryDirectory() as scratch:
    rng = random.Random(32)
    made = {}
    for name, size in (("archive", 5001), ("rcdata", 7), ("extra", 4097), ("empty", 0),
                       ("numbered", 100)):
        made[name] = os.path.join(scratch, name)
        with open(made[name], "wb") as f:
            f.write(rng.randbytes(size))
    out = os.path.join(scratch, "packed.exe")
    subprocess.run([pack, "-o", out, "--stub", bare, "--quiet", "--archive", made["archive"],
                    "--setup", bare, "--rcdata-file", made["rcdata"],
                    "--resource", "zz", "Extra.Name", made["extra"],
                    "--resource", "ZZ", "EMPTY", made["empty"],
                    "--resource", "300", "7", made["numbered"]], check=True)
    _, before = resources(bare)
    pe, after = resources(out)

    # The setup program (the bare stub will do) goes in as a cabinet the packer makes, whose bytes
    # the cabinet tests check.
    expected = {("B7", "ONDREL.PACKED.7Z"): made["archive"], ("BL", "SETUP.EX_"): None,
                (10, 1): made["rcdata"],
                ("ZZ", "EXTRA.NAME"): made["extra"], ("ZZ", "EMPTY"): made["empty"],
                (300, 7): made["numbered"]}
    for (kind, name), path in expected.items():
        hits = [key for key in after if key[:2] == (kind, name)]
        if len(hits) != 1:
            failures.append(f"{kind}/{name}: {len(hits)} entries, not 1")
            continue
        data, offset = after[hits[0]]
        with open(path or os.devnull, "rb") as f:
            if path and data != f.read():
                failures.append(f"{kind}/{name}: other bytes than its file")
        alignment = 4096 if kind in ("B7", "BL") else 8
        if data and offset % alignment:
            failures.append(f"{kind}/{name} at offset {offset}, not a multiple of {alignment}")
    for key, (data, _) in before.items():
        if key[:2] not in expected and after.get(key, (None,))[0] != data:
            failures.append(f"the bare stub's {key} is lost or changed")
    if len(after) != len(before) + len(expected) - sum(
            1 for key in before if key[:2] in expected):
        failures.append(f"{len(after)} resources, from {len(before)} and {len(expected)} added")
    if pe.OPTIONAL_HEADER.CheckSum != pe.generate_checksum():
        failures.append(f"checksum {pe.OPTIONAL_HEADER.CheckSum:#x}, "
                        f"the image's is {pe.generate_checksum():#x}")


def version_block(path):
    """(strings of the first table, file version, product version) as pefile reads them."""
    pe = pefile.PE(path)
    strings = {}
    for info in pe.FileInfo[0] if hasattr(pe, "FileInfo") else []:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable[:1]:
                strings = {k.decode(): v.decode() for k, v in table.entries.items()}
    fixed = pe.VS_FIXEDFILEINFO[0]
    def number(high, low):
        return f"{high >> 16}.{high & 0xFFFF}.{low >> 16}.{low & 0xFFFF}"
    return (strings, number(fixed.FileVersionMS, fixed.FileVersionLS),
            number(fixed.ProductVersionMS, fixed.ProductVersionLS), pe.get_warnings())


strings, _, _, warnings = version_block(bare)
for key, value in (("FileDescription", "Ondrel installer stub"),
                   ("LegalCopyright", "Copyright (c) 2026 Velmora. Zlib licence."),
                   ("CompanyName", "Velmora"), ("ProductName", "Ondrel")):
    if strings.get(key) != value:
        failures.append(f"the bare stub's {key} is {strings.get(key)!r}, not {value!r}")

with tempfile.TemporaryDirectory() as scratch:
    out = os.path.join(scratch, "identity.exe")
    icon = os.path.join(scratch, "product.ico")
    subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "make-test-icon.py"),
                    icon], check=True)
    given = {"CompanyName": "Acme Ltd", "ProductName": "Widget \u540d", "Comments": "odd",
             "ProductVersion": "2.1 beta", "LegalCopyright": "(c) 2026 Acme", "X": ""}
    subprocess.run([pack, "-o", out, "--stub", bare, "--quiet", "--no-layout-check",
                    "--file-version", "2.1.65535.7", "--product-version", "2.1", "--icon", icon,
                    "--execution-level", "highestAvailable"] +
                   [a for k, v in given.items() for a in ("--version-info", f"{k}={v}")],
                   check=True)
    strings, file_version, product_version, warnings = version_block(out)
    expected = {"FileVersion": "2.1.65535.7", **given}
    if strings != expected:
        failures.append(f"version strings {strings}, not {expected}")
    if (file_version, product_version) != ("2.1.65535.7", "2.1.0.0"):
        failures.append(f"fixed part {file_version}, {product_version}")
    if warnings:
        failures.append(f"pefile warns: {warnings}")

for failure in failures:
    print("FAIL:", failure)
print(f"{len(failures)} check(s) failed" if failures else "packed-read-back-test: all checks passed")
sys.exit(1 if failures else 0)
