#!/usr/bin/python3
# SPDX-License-Identifier: Zlib
# A packed stub read back by pefile, a PE reader apart from the packer's own: every resource of the
# bare stub is still there with its bytes, every added one is there under the name and type it was
# given (string names and types upper-cased), the payload starts on a page of its own and the
# rest 8-byte aligned, and the optional header's checksum is the image's.
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

for failure in failures:
    print("FAIL:", failure)
print(f"{len(failures)} check(s) failed" if failures else "packed-read-back-test: all checks passed")
sys.exit(1 if failures else 0)
