"""The command line of ``python3 -m kestrel``."""
import argparse
from typing import List, Optional

from . import receipt_log


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python3 -m kestrel", description="Kestrel tools.")
    commands = parser.add_subparsers(dest="command", required=True)
    verify = commands.add_parser("verify-log", help="check a receipt log against the boundary key",
                                 description="Check every line of a receipt log (tags and replay order) and "
                                             "exit non-zero if any line fails.")
    verify.add_argument("--key-file", required=True, metavar="KEY", help="file holding the 32-byte key")
    verify.add_argument("--strict", action="store_true", help="a gap in the sequence ids is a failure too")
    verify.add_argument("log", metavar="FILE", help="the receipt log, one JSON object per line")
    args = parser.parse_args(argv)
    return receipt_log.run_verify_log(args.key_file, args.log, args.strict)
