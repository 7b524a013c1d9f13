"""Fails unless the shared object's dynamic symbol table defines exactly the public names."""
import subprocess
import sys

EXPECTED = {"PyInit__kestrel", "kestrel_solve_active_set", "kestrel_solve_multivar_4d"}


def defined_symbols(path):
    out = subprocess.run(["nm", "-D", "--defined-only", path], check=True, capture_output=True, text=True).stdout
    symbols = set()
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 3:
            symbols.add(parts[2].split("@")[0])
    return symbols


def main(path):
    found = defined_symbols(path)
    extra = sorted(found - EXPECTED)
    missing = sorted(EXPECTED - found)
    print("exported:", " ".join(sorted(found)))
    if extra:
        print("unexpected exported symbols:", " ".join(extra))
    if missing:
        print("missing exported symbols:", " ".join(missing))
    return 1 if extra or missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
