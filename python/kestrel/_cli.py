"""The command line of ``python3 -m kestrel``."""
import argparse
from typing import List, Optional

from . import _limits_command, _verify_log_command
from ._key_commands import add_commands as add_key_commands


def main(argv: Optional[List[str]] = None) -> int:
    """Every subcommand registers its ``run(args, parser)``, which returns the exit code."""
    parser = argparse.ArgumentParser(prog="python3 -m kestrel", description="Kestrel tools.")
    commands = parser.add_subparsers(dest="command", required=True)
    _verify_log_command.add_parser(commands)
    add_key_commands(commands)
    _limits_command.add_parser(commands)
    args = parser.parse_args(argv)
    return int(args.run(args, parser))
