"""The committed Unicode tables must be what tools/gen_unicode_tables.py makes."""

import subprocess
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent
SCRIPT = REPO_ROOT / "tools" / "gen_unicode_tables.py"
TABLES = REPO_ROOT / "src" / "unicode" / "unicode_tables.cpp"
DATA_DIR = Path("/usr/share/unicode")

pytestmark = pytest.mark.skipif(
    not (DATA_DIR / "UnicodeData.txt").exists(),
    reason="Unicode data files not installed (Debian package unicode-data)",
)


def run_generator(*args):
    return subprocess.run(
        [sys.executable, str(SCRIPT), "--data-dir", str(DATA_DIR), *args],
        capture_output=True,
        text=True,
    )


def test_committed_tables_are_up_to_date():
    result = run_generator("--check")
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    "make_stale",
    [
        lambda committed: None,  # file missing
        lambda committed: "",
        lambda committed: committed.replace("0x3000", "0x3001", 1),
    ],
    ids=["missing", "empty", "one-range-changed"],
)
def test_check_reports_stale_tables(tmp_path, make_stale):
    output = tmp_path / "unicode_tables.cpp"
    content = make_stale(TABLES.read_text(encoding="utf-8"))
    if content is not None:
        output.write_text(content, encoding="utf-8")
    result = run_generator("--check", "--output", str(output))
    assert result.returncode == 1
    assert "out of date" in result.stderr


def test_generating_twice_gives_identical_files(tmp_path):
    first, second = tmp_path / "first.cpp", tmp_path / "second.cpp"
    assert run_generator("--output", str(first)).returncode == 0
    assert run_generator("--output", str(second)).returncode == 0
    assert first.read_bytes() == second.read_bytes() == TABLES.read_bytes()
