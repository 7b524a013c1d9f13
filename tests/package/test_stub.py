"""The stubs _kestrel.pyi, kestrel/_native.pyi and kestrel/_description.pyi beside the built modules say exactly what they do.

mypy's stubtest compares every name, method and parameter with the runtime
objects. It cannot see constructors of types made in C (their __init__ is
object's), so their text signatures are compared here as well.
"""
import ast
import importlib.util
import inspect
import os
import pathlib
import subprocess
import sys
import tempfile
import unittest

import _kestrel
from kestrel import _native

MODULE_DIR = pathlib.Path(importlib.util.find_spec("_kestrel").origin).parent
STUBS = {_kestrel: MODULE_DIR / "_kestrel.pyi", _native: MODULE_DIR / "kestrel" / "_native.pyi"}


def stub_constructors(stub):
    """{public class name: [(parameter, default or inspect.Parameter.empty, kind)] or None}."""
    constructors = {}
    for node in ast.parse(stub.read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.ClassDef) or node.name.startswith("_"):
            continue
        constructors[node.name] = None
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and item.name == "__init__":
                names = [arg.arg for arg in item.args.args[1:]]
                defaults = [ast.literal_eval(d) for d in item.args.defaults]
                defaults = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
                keyword_only = [(a.arg, ast.literal_eval(d), inspect.Parameter.KEYWORD_ONLY)
                                for a, d in zip(item.args.kwonlyargs, item.args.kw_defaults)]
                constructors[node.name] = [(n, d, inspect.Parameter.POSITIONAL_OR_KEYWORD)
                                           for n, d in zip(names, defaults)] + keyword_only
    return constructors


class StubTest(unittest.TestCase):
    def test_stubtest_finds_no_difference(self):
        with tempfile.TemporaryDirectory() as cache:
            env = dict(os.environ, MYPY_CACHE_DIR=cache)
            result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_kestrel", "kestrel._native",
                                     "kestrel._description"],
                                    cwd=MODULE_DIR,
                                    env=env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_constructors_match_text_signatures(self):
        for module, stub in STUBS.items():
            constructors = stub_constructors(stub)
            self.assertEqual(sorted(constructors), sorted(n for n, v in vars(module).items() if isinstance(v, type)))
            for name, stub_parameters in constructors.items():
                self.check_constructor(getattr(module, name), stub_parameters)

    def check_constructor(self, cls, stub_parameters):
        with self.subTest(name=cls.__name__):
            if cls.__text_signature__ is None:
                self.assertIsNone(stub_parameters)  # no constructor to describe
                return
            runtime = inspect.signature(cls).parameters.values()
            self.assertEqual(stub_parameters, [(p.name, p.default, p.kind) for p in runtime])

if __name__ == "__main__":
    unittest.main()
