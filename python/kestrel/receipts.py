"""Receipts on the receiving side: read a receipt's wire form, and check receipts with or without a replay guard.

All of it is the native module's, on the C library's receipt functions, so it
checks with the very code the boundary signs with.
"""
from ._native import ReceiptGuard, parse_receipt, verify_receipt
from ._types import ReceiptFields

KEY_LEN = 32
RECEIPT_WIRE_LEN = 60

__all__ = ["KEY_LEN", "RECEIPT_WIRE_LEN", "ReceiptFields", "ReceiptGuard", "parse_receipt", "verify_receipt"]
