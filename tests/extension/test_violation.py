import os
import subprocess
import sys
import textwrap
import unittest

import _kestrel

KestrelViolation = _kestrel.KestrelViolation


class ViolationTest(unittest.TestCase):
    def test_fields_args_and_text_forms(self):
        cases = [
            ((), 0, "", "", (), "KestrelViolation(axis=0, violation_type=): "),
            ((-3, "x", "y"), -3, "x", "y", (-3, "x", "y"), "KestrelViolation(axis=-3, violation_type=x): y"),
            ((2, "rate_limited", "action rate limit exceeded"), 2, "rate_limited", "action rate limit exceeded",
             (2, "rate_limited", "action rate limit exceeded"),
             "KestrelViolation(axis=2, violation_type=rate_limited): action rate limit exceeded"),
            ((7, "ünï", "'quoted'\n"), 7, "ünï", "'quoted'\n", (7, "ünï", "'quoted'\n"),
             "KestrelViolation(axis=7, violation_type=ünï): 'quoted'\n"),
        ]
        for args, axis, kind, message, stored_args, text in cases:
            with self.subTest(args=args):
                exc = KestrelViolation(*args)
                self.assertEqual((exc.axis, exc.violation_type, exc.message), (axis, kind, message))
                self.assertEqual(exc.args, stored_args)
                self.assertEqual(str(exc), text)
                self.assertEqual(repr(exc), "KestrelViolation" + repr(stored_args).replace(",)", ")"))

    def test_is_an_exception_that_can_be_raised_and_caught(self):
        with self.assertRaises(Exception) as caught:
            raise KestrelViolation(1, "kind", "text")
        self.assertIsInstance(caught.exception, KestrelViolation)
        self.assertTrue(issubclass(KestrelViolation, Exception))

    def test_fields_are_read_only(self):
        exc = KestrelViolation(1, "a", "b")
        for field in ("axis", "violation_type", "message"):
            with self.subTest(field):
                with self.assertRaises(AttributeError):
                    setattr(exc, field, 5)

    def test_text_conversion_errors(self):
        cases = [
            ((1, None), "argument 'violation_type': 'NoneType' object cannot be converted to 'PyString'"),
            ((1, "x", 5), "argument 'message': 'int' object cannot be converted to 'PyString'"),
            ((1, b"x"), "argument 'violation_type': 'bytes' object cannot be converted to 'PyString'"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                with self.assertRaises(TypeError) as caught:
                    KestrelViolation(*args)
                self.assertEqual(str(caught.exception), message)
        with self.assertRaises(UnicodeEncodeError):
            KestrelViolation(1, "\ud800")

    def test_str_subclass_is_copied_as_plain_text(self):
        class Name(str):
            pass

        exc = KestrelViolation(1, Name("kind"), "m")
        self.assertIs(type(exc.violation_type), str)
        self.assertEqual(exc.violation_type, "kind")

    def test_keyword_arguments_are_refused_by_the_base_initialiser(self):
        with self.assertRaises(TypeError):
            KestrelViolation(axis=1)
        with self.assertRaises(TypeError):
            KestrelViolation(1, "a", message="b")

    def test_base_constructor_cannot_bypass_the_fields(self):
        with self.assertRaises(TypeError):
            Exception.__new__(KestrelViolation)

    def test_freeing_a_long_chain_does_not_exhaust_the_stack(self):
        # Freeing runs one deallocator inside another per link; a million
        # links would overflow the C stack unless the deallocator defers.
        # (Links through args or __dict__ pass through the tuple's and the
        # dict's own deferring deallocators, so they would not show it.)
        script = textwrap.dedent(
            """
            import _kestrel
            prev = None
            for i in range(1_000_000):
                exc = _kestrel.KestrelViolation(i % 7, "kind", "text")
                if i % 2:
                    exc.__cause__ = prev
                else:
                    exc.__context__ = prev
                prev = exc
            del exc
            prev = None
            print("freed")
            """
        )
        env = dict(os.environ, PYTHONPATH=os.path.dirname(_kestrel.__file__))
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=300)
        self.assertEqual((result.returncode, result.stdout), (0, "freed\n"), result.stderr[-2000:])


if __name__ == "__main__":
    unittest.main()
