"""Receipts on the receiving side: read a receipt's wire form, carry it with its action in a signed command
frame, and check receipts with or without a replay guard.

All of it is the native module's, on the C library's receipt functions, so it
checks with the very code the boundary signs with.
"""
from ._native import (FRAME_LEN, KEY_LEN, RECEIPT_WIRE_LEN, ReceiptGuard, decode_frame, encode_frame, parse_receipt,
                      verify_receipt)
from ._types import Frame, ReceiptFields

__all__ = ["FRAME_LEN", "KEY_LEN", "RECEIPT_WIRE_LEN", "Frame", "ReceiptFields", "ReceiptGuard", "decode_frame",
           "encode_frame", "parse_receipt", "verify_receipt"]
