import gc
import struct
import unittest

import _kestrel
from support import DEFAULT_KEY, expected_tag

KEY = bytes(range(32))


class ReceiptTest(unittest.TestCase):
    def setUp(self):
        self.boundary = _kestrel.KestrelBoundary(rate_limit=10_000, hmac_key=KEY)

    def test_wire_form_and_tag(self):
        cases = [(3, 0.25, 1.5), (-1, -7.0, -4.18), (2**31 - 1, float("inf"), 0.0), (-2**31, 1e300, -0.0),
                 (7, -0.0, 1.25)]
        for axis, position, velocity in cases:
            with self.subTest(axis=axis):
                receipt = self.boundary.authorize_action(axis, position, velocity)
                wire = receipt.receipt_hash
                self.assertIs(type(wire), bytes)
                self.assertEqual(len(wire), 60)
                self.assertEqual(struct.unpack_from("<Q", wire, 12)[0], receipt.timestamp_nanos)
                self.assertEqual(struct.unpack_from("<Q", wire, 20)[0], receipt.sequence_id)
                self.assertEqual(wire[28:], expected_tag(KEY, wire, axis, position, velocity))
                # The payload holds the position's bits, sign of zero included.
                self.assertNotEqual(wire[28:], expected_tag(KEY, wire, axis, -position, velocity))
                self.assertIs(receipt.is_authorized, True)

    def test_verify(self):
        receipt = self.boundary.authorize_action(1, 0.5, 1.0)
        self.assertIs(receipt.verify(KEY), True)
        self.assertIs(receipt.verify(key=KEY), True)
        for key in [bytes(32), KEY[:-1] + b"\x00", KEY[:31], KEY + b"\x00", b""]:
            with self.subTest(key=key):
                self.assertIs(receipt.verify(key), False)

        class KeyBytes(bytes):
            pass

        self.assertIs(receipt.verify(KeyBytes(KEY)), True)
        for key, name in [(bytearray(KEY), "bytearray"), (KEY.hex(), "str"), (5, "int"), (None, "NoneType"),
                          (memoryview(KEY), "memoryview")]:
            with self.subTest(key=name):
                with self.assertRaises(TypeError) as caught:
                    receipt.verify(key)
                self.assertEqual(str(caught.exception),
                                 f"argument 'key': '{name}' object cannot be converted to 'PyBytes'")

    def test_default_key_receipts_verify_with_the_built_in_key(self):
        for boundary in (_kestrel.KestrelBoundary(), _kestrel.KestrelBoundary(hmac_key=None)):
            receipt = boundary.authorize_action(0, 0.0, 0.0)
            self.assertTrue(receipt.verify(DEFAULT_KEY))
            self.assertFalse(receipt.verify(KEY))

    def test_receipt_outlives_its_boundary_and_later_receipts(self):
        first = self.boundary.authorize_action(4, 1.0, 2.0)
        later = [self.boundary.authorize_action(4, 1.0, 2.0) for _ in range(1100)]
        self.assertTrue(first.verify(KEY))
        del self.boundary
        gc.collect()
        self.assertTrue(first.verify(KEY))
        self.assertTrue(later[-1].verify(KEY))
        self.assertEqual(len({r.receipt_hash[:12] for r in later}), len(later))

    def test_immutable_and_not_constructible(self):
        receipt = self.boundary.authorize_action(0, 0.0, 0.0)
        for attribute in ("sequence_id", "timestamp_nanos", "receipt_hash", "is_authorized"):
            with self.subTest(attribute):
                with self.assertRaises(AttributeError):
                    setattr(receipt, attribute, 1)
        with self.assertRaises(TypeError) as caught:
            _kestrel.KestrelReceipt()
        self.assertEqual(str(caught.exception), "No constructor defined for KestrelReceipt")
        self.assertIsNot(receipt.receipt_hash, receipt.receipt_hash)


if __name__ == "__main__":
    unittest.main()
