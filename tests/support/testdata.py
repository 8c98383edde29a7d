"""Where the shared test data lives, for the tests, the benchmarks and the
fuzz seeds alike (tests/support/test_data.hpp is the same rule for C++).

The data folder holds `yaml-test-suite/` and `corpus/`. It is the folder
named by TESVORN_TEST_DATA when that is set, else the `shared` folder beside
the repository; nothing else is searched. With TESVORN_REQUIRE_TEST_DATA=1
(set by `make test`) missing data is a failure, not a skip.
"""

import os
import pathlib

ROOT = pathlib.Path(__file__).resolve().parents[2]
ENV = "TESVORN_TEST_DATA"
REQUIRE_ENV = "TESVORN_REQUIRE_TEST_DATA"

# What must be inside each data set for it to count as present.
_MARKERS = {"yaml-test-suite": "cases", "corpus": "."}


def data_root() -> pathlib.Path:
    env = os.environ.get(ENV)
    return pathlib.Path(env) if env else ROOT.parent / "shared"


def required() -> bool:
    return os.environ.get(REQUIRE_ENV) == "1"


def find(name: str) -> pathlib.Path | None:
    """The folder of the data set `name` ("yaml-test-suite" or "corpus"), or None."""
    path = data_root() / name
    return path if (path / _MARKERS[name]).is_dir() else None


def missing_message(name: str) -> str:
    where = f"${ENV}" if os.environ.get(ENV) else "the 'shared' folder beside the repository"
    return (f"test data not found: {data_root() / name / _MARKERS[name]} is not a folder. The data "
            f"folder, holding yaml-test-suite/ and corpus/, is ${ENV} when set, else the 'shared' "
            f"folder beside the repository; here {where}: {data_root()}")


def corpus_files(corpus: pathlib.Path) -> list[pathlib.Path]:
    """Every YAML file of the corpus (names starting with a dot included), sorted."""
    return sorted(p for p in corpus.rglob("*") if p.suffix in (".yml", ".yaml") and p.is_file())


def suite_cases(suite: pathlib.Path, valid: bool = True) -> list[pathlib.Path]:
    """The case folders of the test suite: the valid ones, or the invalid ones."""
    return sorted(p.parent for p in (suite / "cases").rglob("in.yaml")
                  if (p.parent / "error").exists() != valid)


def case_id(suite: pathlib.Path, case: pathlib.Path) -> str:
    return case.relative_to(suite / "cases").as_posix()


if __name__ == "__main__":
    import sys

    missing = [missing_message(name) for name in _MARKERS if find(name) is None]
    for message in missing:
        print(message, file=sys.stderr)
    if not missing:
        print(f"test data: {data_root()}")
    sys.exit(1 if missing else 0)


def corpus_stream(corpus: pathlib.Path) -> str:
    """Every corpus file as the documents of one stream (each file's
    documents closed before the next file's start)."""
    parts = []
    for path in corpus_files(corpus):
        text = path.read_text(encoding="utf-8")
        if not text.endswith("\n"):
            text += "\n"
        parts.append("---\n" + text if not text.lstrip().startswith(("%", "---")) else text)
    return "...\n".join(parts)
