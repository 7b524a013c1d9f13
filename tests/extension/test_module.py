import inspect
import os
import subprocess
import sys
import textwrap
import unittest

import _kestrel

CLASS_NAMES = ["KestrelBoundary", "KestrelReceipt", "KestrelViolation", "MonotonicCounter", "Governor"]


class RegistrationTest(unittest.TestCase):
    def test_module_attributes(self):
        self.assertEqual(_kestrel.__version__, "0.2.0")
        self.assertEqual(_kestrel.__all__, ["__version__"] + CLASS_NAMES)
        self.assertEqual(_kestrel.__doc__, "Python module registration.")

    def test_reimport_gives_the_same_module(self):
        before = sys.modules.pop("_kestrel")
        try:
            import _kestrel as again
            self.assertIs(again, before)
            self.assertEqual(again.__all__, ["__version__"] + CLASS_NAMES)
        finally:
            sys.modules["_kestrel"] = before

    def test_classes_are_builtins_heap_types_that_cannot_be_subclassed(self):
        for name in CLASS_NAMES:
            with self.subTest(name):
                cls = getattr(_kestrel, name)
                self.assertEqual(cls.__module__, "builtins")
                self.assertEqual(cls.__name__, name)
                with self.assertRaises(TypeError):
                    type("Derived", (cls,), {})

    def test_sub_interpreter_is_refused(self):
        script = textwrap.dedent(
            """
            import _kestrel, _xxsubinterpreters as interpreters
            interp = interpreters.create()
            try:
                interpreters.run_string(interp, "import _kestrel")
            except interpreters.RunFailedError as exc:
                print("refused:", exc)
            else:
                print("accepted")
            """
        )
        env = dict(os.environ, PYTHONPATH=os.path.dirname(_kestrel.__file__))
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("ImportError", result.stdout)
        self.assertIn("sub-interpreters", result.stdout)


class SignatureTest(unittest.TestCase):
    CLASS_SIGNATURES = {
        "Governor": ("(min_bound, max_bound)",
                     "Python wrapper around the Kestrel scalar active-set projection kernel."),
        "MonotonicCounter": ("(initial_value=0)", "A monotonically increasing 64-bit counter."),
        "KestrelViolation": ("(axis=0, violation_type=..., message=...)",
                             "Exception raised when an action request violates the Kestrel boundary."),
        "KestrelBoundary": ("(rate_limit=1000, max_velocity_rad_s=4.18, monotonic_window_size=64, hmac_key=None)",
                            "Deterministic edge governor that authorizes physical actions."),
    }
    METHOD_SIGNATURES = {
        ("Governor", "project"): ("(u_desired)", "Project a single scalar actuator command into the safe envelope."),
        ("Governor", "project_batch"): ("(u_vec)", "Project a vector of actuator commands in a single call."),
        ("MonotonicCounter", "next_value"): ("()", "Return the next strictly greater counter value."),
        ("MonotonicCounter", "current_value"): ("()", "Return the current counter value without advancing it."),
        ("KestrelBoundary", "authorize_action"): (
            "(target_axis, requested_position, commanded_velocity)",
            "Authorize a single actuator command and return a signed receipt."),
        ("KestrelReceipt", "verify"): ("(key)", "Re-verify this receipt against a 32-byte boundary key."),
    }

    def test_class_docstrings_and_signatures(self):
        for name, (signature, doc) in self.CLASS_SIGNATURES.items():
            with self.subTest(name):
                cls = getattr(_kestrel, name)
                self.assertEqual(cls.__text_signature__, signature)
                self.assertEqual(cls.__doc__, doc)
        receipt = _kestrel.KestrelReceipt
        self.assertIsNone(receipt.__text_signature__)
        self.assertEqual(receipt.__doc__, "Replay-resistant authorization receipt returned by `KestrelBoundary`.")

    def test_method_docstrings_and_signatures(self):
        for (cls_name, method), (signature, doc) in self.METHOD_SIGNATURES.items():
            with self.subTest(f"{cls_name}.{method}"):
                function = getattr(getattr(_kestrel, cls_name), method)
                self.assertEqual(function.__text_signature__, "($self" + (", " if signature != "()" else "")
                                 + signature[1:])
                self.assertEqual(function.__doc__, doc)
                self.assertEqual(str(inspect.signature(function)), "(self, /" + (", " if signature != "()" else "")
                                 + signature[1:])


if __name__ == "__main__":
    unittest.main()
