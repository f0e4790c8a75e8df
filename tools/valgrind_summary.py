"""Reads memcheck logs (one per process) and counts the errors, by kind, that concern tesk:
those with a frame in tesk's sources or shared object, in the faulting stack or in the
stack that allocated or freed the memory involved.

    python valgrind_summary.py <source root> <log>...

Prints the counts and every tesk error in full; exits with 1 if any invalid access or use
of uninitialised memory concerns tesk. The interpreter, NumPy and the C library have
reports of their own at start-up; they are counted, not judged.
"""

import collections
import re
import sys

KINDS = [
    ("invalid access", re.compile(r"^(Invalid (read|write|free)|Mismatched free|Source and destination overlap)")),
    ("uninitialised", re.compile(r"^(Conditional jump or move depends on uninitialised|Use of uninitialised|Syscall param .* uninitialised)")),
    ("fishy argument", re.compile(r"^Argument '.*' of function .* has a fishy")),
]
FAILING = {"invalid access", "uninitialised", "other"}
PREFIX = re.compile(r"^==\d+== ?")


def error_blocks(lines):
    """Each report: from a line that starts one, up to the blank line that ends it."""
    block = None
    for line in lines:
        text = PREFIX.sub("", line.rstrip("\n"), count=1)
        if block is None:
            if text and not text.startswith(" ") and any(p.match(text) for _, p in KINDS):
                block = [text]
            elif text.startswith("Invalid") or text.startswith("Process terminating"):
                block = [text]
        elif text == "":
            yield block
            block = None
        else:
            block.append(text)
    if block:
        yield block


def kind_of(block):
    for name, pattern in KINDS:
        if pattern.match(block[0]):
            return name
    return "other"


def concerns_tesk(block, source_root):
    return any(source_root in line or "/tesk." in line or "tesk.cpython" in line for line in block)


def main():
    source_root, logs = sys.argv[1].rstrip("/") + "/src/", sys.argv[2:]
    everything = collections.Counter()
    ours = collections.Counter()
    shown = []
    for log in logs:
        with open(log, errors="replace") as handle:
            for block in error_blocks(handle):
                kind = kind_of(block)
                everything[kind] += 1
                if concerns_tesk(block, source_root):
                    ours[kind] += 1
                    shown.append((log, block))
    for log, block in shown:
        print(f"--- {log}")
        print("\n".join(block))
    print(f"memcheck reports in {len(logs)} process(es), all sources: {dict(everything) or 'none'}")
    print(f"memcheck reports concerning tesk: {dict(ours) or 'none'}")
    failing = sum(count for kind, count in ours.items() if kind in FAILING)
    print(f"tesk: {ours['invalid access']} invalid accesses, {ours['uninitialised']} uses of uninitialised values")
    return 1 if failing else 0


if __name__ == "__main__":
    sys.exit(main())
