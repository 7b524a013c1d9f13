"""The boundary key as a file: 32 raw bytes that only their owner may read or write."""
import os
import shlex

KEY_LEN = 32


def read_key_file(path: str) -> bytes:
    """The 32 raw bytes of a key file; ValueError if others may read or write it, or if it holds another count."""
    with open(path, "rb") as f:
        mode = os.fstat(f.fileno()).st_mode & 0o777
        if mode & 0o066:
            raise ValueError(f"{path}: a key file must be its owner's alone, but others may read or write this one "
                             f"(mode {mode:03o}); fix it with: chmod 600 {shlex.quote(path)}")
        key = f.read(KEY_LEN + 1)
    if len(key) != KEY_LEN:
        raise ValueError(f"{path}: a key file holds exactly {KEY_LEN} bytes")
    return key
