"""The boundary key as a file: 32 raw bytes that only their owner may read or write.

The rule is the library's one (kestrel_key_file_read): a regular file of
exactly 32 bytes that neither group nor others may read or write; a refusal is
a ValueError whose message names the file and the fix.
"""
from ._native import KEY_LEN, read_key_file

__all__ = ["KEY_LEN", "read_key_file"]
