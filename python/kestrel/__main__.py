"""python3 -m kestrel: see ``python3 -m kestrel --help``."""
import sys

from ._cli import main

sys.exit(main())
