"""The type stubs let mypy --strict check a program that uses the API."""

import pathlib
import subprocess
import sys

import pytest

HERE = pathlib.Path(__file__).parent


def test_mypy_strict_accepts_usage(tmp_path):
    pytest.importorskip("mypy")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path),
         str(HERE / "typing" / "usage.py")],
        capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_rejects_misuse(tmp_path):
    pytest.importorskip("mypy")
    bad = tmp_path / "bad.py"
    bad.write_text("import tesvorn\n"
                   "tesvorn.loads(b'x')\n"
                   "tesvorn.YamlMapping().comment_before(1)\n"
                   "tesvorn.dumps({}, indent='2')\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "c"),
         str(bad)], capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 1
    assert result.stdout.count("error:") >= 3, result.stdout


def test_mypy_strict_accepts_the_command(tmp_path):
    pytest.importorskip("mypy")
    command = HERE.parents[1] / "src" / "cli" / "tesvorn_cli"
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path), str(command)],
        capture_output=True, text=True, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
