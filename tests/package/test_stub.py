"""The stub _kestrel.pyi beside the built module says exactly what the module does.

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

MODULE_DIR = pathlib.Path(importlib.util.find_spec("_kestrel").origin).parent
STUB = MODULE_DIR / "_kestrel.pyi"


def stub_constructors():
    """{class name: [(parameter, default or inspect.Parameter.empty)] or None}."""
    constructors = {}
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.ClassDef):
            continue
        constructors[node.name] = None
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and item.name == "__init__":
                names = [arg.arg for arg in item.args.args[1:]]
                defaults = [ast.literal_eval(d) for d in item.args.defaults]
                defaults = [inspect.Parameter.empty] * (len(names) - len(defaults)) + defaults
                constructors[node.name] = list(zip(names, defaults))
    return constructors


class StubTest(unittest.TestCase):
    def test_stubtest_finds_no_difference(self):
        with tempfile.TemporaryDirectory() as cache:
            env = dict(os.environ, MYPY_CACHE_DIR=cache)
            result = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_kestrel"], cwd=MODULE_DIR,
                                    env=env, capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_constructors_match_text_signatures(self):
        constructors = stub_constructors()
        self.assertEqual(sorted(constructors), sorted(n for n in _kestrel.__all__ if n != "__version__"))
        for name, stub_parameters in constructors.items():
            with self.subTest(name=name):
                cls = getattr(_kestrel, name)
                if cls.__text_signature__ is None:
                    self.assertIsNone(stub_parameters)  # no constructor to describe
                    continue
                runtime = inspect.signature(cls).parameters.values()
                self.assertTrue(all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime))
                self.assertEqual(stub_parameters, [(p.name, p.default) for p in runtime])


if __name__ == "__main__":
    unittest.main()
