"""The key commands of ``python3 -m kestrel``: ``keygen`` and ``derive-key``.

Both write a key file as every Kestrel tool reads one (kestrel_key.h): 32 raw bytes, mode 0600, and never over
an existing file, so a key in use is not lost by a slip of the command line.
"""
import argparse
import os
import secrets
import sys

from ._native import KEY_LEN, derive_key, read_key_file


def write_key_file(path: str, key: bytes) -> None:
    """Create ``path`` holding ``key``, readable by its owner only; FileExistsError if it exists.

    A file left half-written (a full disk) is removed, so no short key file remains.
    """
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(key)
    except OSError as error:
        os.unlink(path)
        # A write's error names no file of its own (a file-size limit, a full disk): this one is the key file.
        raise OSError(error.errno, error.strerror, path) from None
    except BaseException:
        os.unlink(path)
        raise


def _written(path: str) -> str:
    """Where a key went and who may read it, for the line a command prints (never the key)."""
    return f"{path} (32 bytes, mode {os.stat(path).st_mode & 0o777:04o})"


def add_commands(commands: "argparse._SubParsersAction[argparse.ArgumentParser]") -> None:
    """Register ``keygen`` and ``derive-key`` with the parser's subcommands."""
    keygen = commands.add_parser("keygen", help="write a new random 32-byte key file (mode 0600)",
                                 description="Write 32 random bytes from the operating system to a new key file "
                                             "that only its owner may read. An existing file is never overwritten.")
    keygen.add_argument("file", metavar="FILE", help="the key file to create")
    keygen.set_defaults(run=lambda args, parser: run_keygen(args.file))
    derive = commands.add_parser("derive-key", help="derive the key of one link from a master key file",
                                 description="Write the key of one link, HKDF-SHA-256 of the master key with the "
                                             "link id, to a new key file (mode 0600): the file to provision on that "
                                             "link's receiver. An existing file is never overwritten.")
    derive.add_argument("--master", required=True, metavar="FILE", help="the master key file (32 bytes, mode 0600)")
    derive.add_argument("--link", required=True, metavar="ID",
                        help="the link's id, 1 to 255 bytes of UTF-8, e.g. cell-3/axis-5")
    derive.add_argument("--out", required=True, metavar="FILE", help="the link key file to create")
    derive.set_defaults(run=lambda args, parser: run_derive_key(args.master, args.link, args.out))


def _fail(command: str, error: BaseException) -> int:
    text = f"{error.filename}: {error.strerror}" if isinstance(error, OSError) and error.filename else str(error)
    if isinstance(error, FileExistsError):
        text += "; a key file is never overwritten (remove it first if you mean to replace that key)"
    print(f"{command}: {text}", file=sys.stderr)
    return 2


def run_keygen(path: str) -> int:
    """0 with a new key in ``path``; 2, saying why, if it cannot be written."""
    try:
        write_key_file(path, secrets.token_bytes(KEY_LEN))
    except OSError as error:
        return _fail("keygen", error)
    print(f"keygen: wrote a new random key to {_written(path)}")
    return 0


def run_derive_key(master_path: str, link_id: str, out_path: str) -> int:
    """0 with the link's key in ``out_path``; 2, saying why, if the master or the id is unusable or it cannot be written."""
    try:
        master = read_key_file(master_path)
        try:
            key = derive_key(master, link_id)
        except ValueError as error:
            # derive_key names its parameters; a user of the command knows them by its options.
            name, _, text = str(error).partition(": ")
            option = {"link_id": "--link", "master": f"--master {master_path}"}.get(name, name)
            raise ValueError(f"{option}: {text}") from None
        write_key_file(out_path, key)
    except (OSError, ValueError) as error:
        return _fail("derive-key", error)
    print(f"derive-key: wrote the key of link {link_id!r}, derived from {master_path}, to {_written(out_path)}")
    return 0
