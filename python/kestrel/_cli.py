"""The command line of ``python3 -m kestrel``."""
import argparse
import os
from typing import Any, List, Optional

from . import _limits_command, _verify_log_command
from ._key_commands import add_commands as add_key_commands


def version_text() -> str:
    """What ``--version`` prints: the package (with its native modules, built with it) and the extension module."""
    import _kestrel
    from . import __file__ as package_file, __version__
    return (f"kestrel {__version__} ({os.path.dirname(package_file)})\n"
            f"_kestrel {_kestrel.__version__} ({_kestrel.__file__})")


class _PrintVersion(argparse.Action):
    """--version, printed line by line (argparse's own action would rewrap the paths)."""

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        print(version_text())
        parser.exit()


def main(argv: Optional[List[str]] = None) -> int:
    """Every subcommand registers its ``run(args, parser)``, which returns the exit code."""
    parser = argparse.ArgumentParser(prog="python3 -m kestrel", description="Kestrel tools (also installed as the "
                                                                            "command `kestrel`).")
    parser.add_argument("--version", action=_PrintVersion, nargs=0,
                        help="print the versions of the package and of the extension module, and where each is")
    commands = parser.add_subparsers(dest="command", required=True)
    _verify_log_command.add_parser(commands)
    add_key_commands(commands)
    _limits_command.add_parser(commands)
    args = parser.parse_args(argv)
    return int(args.run(args, parser))
