"""The scripted patcher that the benchmark measures Tarnwick against.

    python3 scripted_patcher.py TARGET LIST

Does what a forward run does, the way a short script would: reads the list's size line, opens the
target once, and for each entry opens the data file, reads it whole, seeks the target and writes,
printing one line per entry and the summary. No locks and no existence checks: the cheapest honest
script, so that the comparison flatters the script rather than Tarnwick.
"""

import os
import sys


def main() -> int:
    target_name, list_name = sys.argv[1], sys.argv[2]
    # Block-buffered whatever the environment says (PYTHONUNBUFFERED would make it one write a
    # line), as a script's output to a file ordinarily is.
    out = open(sys.stdout.fileno(), "wb", buffering=8192, closefd=False)
    with open(list_name, "rb") as listing, open(target_name, "r+b", buffering=0) as target:
        declared = int(listing.readline())
        if os.fstat(target.fileno()).st_size != declared:
            out.write(b"Size of target file is different from size described in TXT!\r\n")
            out.flush()
            return 0
        failed = False
        while True:
            offset_line = listing.readline()
            if not offset_line:
                break
            name = listing.readline().rstrip(b"\r\n")
            offset = int(offset_line)
            with open(name, "rb", buffering=0) as data_file:
                data = data_file.read()
            if offset + len(data) > declared:
                out.write(b"ERROR: an offset too big!\r\n")
                failed = True
                continue
            target.seek(offset)
            target.write(data)
            out.write(b"OK: Patched at offset %d; bytes: %d\r\n" % (offset, len(data)))
        out.write(b"Wrong patch.\r\n" if failed else b"Successfully patched!\r\n")
    out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
