"""Fails unless a shared object's dynamic symbol table defines exactly its public names.

  check_exports.py MODULE                   a Python module: _kestrel its init function and the two
                                            kernels, kestrel._native its init function alone
  check_exports.py --c-library LIB INCLUDE  a C library: every KESTREL_API function declared in its
                                            headers under INCLUDE, and no reference to Python
"""
import pathlib
import re
import subprocess
import sys

# By the module's file name up to its first dot.
MODULE_EXPORTS = {
    "_kestrel": {"PyInit__kestrel", "kestrel_solve_active_set", "kestrel_solve_multivar_4d"},
    "_native": {"PyInit__native"},
    "_description": {"PyInit__description"},
}

# Headers of the libraries beside libkestrel, by library; every other header is libkestrel's.
LIBRARY_HEADERS = {"kestrel_description": {"kestrel_description.h"}}

DECLARATION = re.compile(r"KESTREL_API\b[^;{]*?\b(kestrel_\w+)\s*\(")


def dynamic_symbols(path, *flags):
    out = subprocess.run(["nm", "-D", *flags, path], check=True, capture_output=True, text=True).stdout
    return {line.split()[-1].split("@")[0] for line in out.splitlines() if line.split()}


def declared_functions(include_dir, library):
    names = set()
    others = set().union(*(h for name, h in LIBRARY_HEADERS.items() if name != library))
    for header in sorted(pathlib.Path(include_dir).rglob("*.h")):
        if header.name in others or (library in LIBRARY_HEADERS and header.name not in LIBRARY_HEADERS[library]):
            continue
        names.update(DECLARATION.findall(header.read_text()))
    return names


def compare(found, expected):
    extra = sorted(found - expected)
    missing = sorted(expected - found)
    print("exported:", " ".join(sorted(found)))
    if extra:
        print("unexpected exported symbols:", " ".join(extra))
    if missing:
        print("missing exported symbols:", " ".join(missing))
    return not extra and not missing


def main(argv):
    if argv[0] == "--c-library":
        library, include_dir = argv[1], argv[2]
        expected = declared_functions(include_dir, pathlib.Path(library).name.split(".")[0].removeprefix("lib"))
        python = sorted(s for s in dynamic_symbols(library, "--undefined-only") if s.startswith(("Py", "_Py")))
        if python:
            print("the C library refers to Python:", " ".join(python))
        ok = compare(dynamic_symbols(library, "--defined-only"), expected) and not python
    else:
        module = pathlib.Path(argv[0]).name.split(".")[0]
        ok = compare(dynamic_symbols(argv[0], "--defined-only"), MODULE_EXPORTS[module])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
