"""Every code block of the README, run by its section as a reader would run it."""
import itertools
import os
import pathlib
import re
import subprocess
import sys
import tempfile
import unittest

import _kestrel

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))
from readme import README, readme_blocks  # noqa: E402

SOURCE_DIR = README.parent
# Run elsewhere: the workflows by CI (.ci/run), the installs and the quick
# starts, which need an installed copy, by tests/install; the C signing
# section's excerpts are checked against the example sources they come from
# (test_receipts), and its shell lines run as CTest examples.sign_and_check;
# the simulation's workflow by CI, its plot line by the workflow's own test
# (tests/sim); the ROS 2 commands by the ros2 workflow's own test (tests/ros2).
ELSEWHERE = {"Two commands", "Reference manual", "Benchmarks", "Install", "Quick start",
             "Signing and checking from C", "Simulation", "With ROS 2", "Where to read more"}


def file_name(code):
    """The file a block is, by its first line ("# name.py: ..." or "/* name.c */"), or None."""
    match = re.match(r"(?:#|/\*) ([\w.]+\.(?:py|c))\b", code)
    return match and match.group(1)


class ReadmeTest(unittest.TestCase):
    def test_every_block_runs(self):
        blocks = readme_blocks()
        self.assertLessEqual(ELSEWHERE, {block.section for block in blocks})
        # One home for the whole README, as a reader has: the key files its commands keep outside the tree.
        home = self.enterContext(tempfile.TemporaryDirectory())
        for section, group in itertools.groupby(blocks, lambda block: block.section):
            if section in ELSEWHERE:
                continue
            with tempfile.TemporaryDirectory() as work:
                self.run_section(list(group), self.lay_out(pathlib.Path(work)), home)

    def test_every_link_reaches_a_heading(self):
        text = README.read_text(encoding="utf-8")
        # A heading's anchor as the Markdown renderers make it: lower case, punctuation dropped, spaces as hyphens.
        anchors = {re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
                   for heading in re.findall(r"(?m)^#+ (.*)$", text)}
        self.assertEqual([link for link in re.findall(r"\]\(#([^)]*)\)", text) if link not in anchors], [])

    def lay_out(self, work):
        """A directory like the repository root, with `python3` this test's interpreter,
        build/release/python this build's module and package and build/release/examples its programs."""
        (work / "examples").symlink_to(SOURCE_DIR / "examples")
        (work / "build" / "release").mkdir(parents=True)
        (work / "build" / "release" / "python").symlink_to(pathlib.Path(_kestrel.__file__).parent)
        (work / "build" / "release" / "examples").symlink_to(pathlib.Path(_kestrel.__file__).parents[1] / "examples")
        (work / "bin").mkdir()
        (work / "bin" / "python3").symlink_to(sys.executable)
        return work

    def run_section(self, blocks, work, home):
        # A block that names its file is saved under that name; it runs on its
        # own unless another block of the section runs it.
        for block in blocks:
            if file_name(block.code):
                (work / file_name(block.code)).write_text(block.code)
        for block in blocks:
            name = file_name(block.code)
            if block.language == "" or name and any(name in other.code for other in blocks if other != block):
                continue  # an output listing, or a file another block runs
            with self.subTest(section=block.section, line=block.line):
                run = getattr(self, f"run_{block.language}", None)
                self.assertIsNotNone(run, f"README.md:{block.line}: no way to run a '{block.language}' block")
                run(block, work, dict(os.environ, HOME=home, PATH=f"{work / 'bin'}:{os.environ['PATH']}"))

    def run_python(self, block, work, env):
        # Padded so that a traceback names the README's own line.
        self.check_run([sys.executable, "-c", "\n" * block.line + block.code], block, work, env=env)

    def run_sh(self, block, work, env):
        self.check_run(["bash", "-euo", "pipefail", "-c", block.code], block, work, env=env)

    def run_c(self, block, work, env):
        (work / "block.c").write_text(block.code)
        library = pathlib.Path(os.environ["KESTREL_LIBRARY"])
        self.check_run([os.environ["KESTREL_CC"], *os.environ["KESTREL_C_FLAGS"].split(), "-Wall", "-Wextra",
                        "-Werror", "block.c", str(library), f"-Wl,-rpath,{library.parent}", "-o", "block"],
                       block, work, env=env)
        self.check_run([str(work / "block")], block, work, env=env)

    def check_run(self, command, block, work, **kwargs):
        result = subprocess.run(command, capture_output=True, text=True, cwd=work, **kwargs)
        self.assertEqual(result.returncode, 0, f"README.md:{block.line}: {command[0]}\n{result.stdout}{result.stderr}")


if __name__ == "__main__":
    unittest.main()
