import pathlib
import sys

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "support"))

import testdata  # noqa: E402


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "huge: a test over 100 MB of input (run once per CI run; the sanitized run deselects it)")


def need(name: str) -> pathlib.Path:
    """The folder of a shared data set. When it is missing the test fails
    under `make test` (TESVORN_REQUIRE_TEST_DATA=1) and is skipped otherwise,
    saying where the data was looked for."""
    path = testdata.find(name)
    if path is None:
        (pytest.fail if testdata.required() else pytest.skip)(testdata.missing_message(name))
    return path


@pytest.fixture(scope="session")
def corpus() -> pathlib.Path:
    return need("corpus")


@pytest.fixture(scope="session")
def suite() -> pathlib.Path:
    return need("yaml-test-suite")


# Tests that take `corpus_file`, `suite_case` or `suite_json_case` run once
# for each corpus file, each valid suite case, or each valid case with a JSON
# value. Without the data they run once, to fail or skip in the fixture.
def _params(name: str, pick):
    root = testdata.find(name)
    if root is None:
        return [None], ["no-data"]
    paths = pick(root)
    base = root / "cases" if name == "yaml-test-suite" else root
    return paths, [p.relative_to(base).as_posix() for p in paths]


def pytest_generate_tests(metafunc):
    pickers = {
        "corpus_file": ("corpus", testdata.corpus_files),
        "suite_case": ("yaml-test-suite", testdata.suite_cases),
        "suite_json_case": ("yaml-test-suite",
                            lambda root: [c for c in testdata.suite_cases(root) if (c / "in.json").exists()]),
    }
    for fixture, (name, pick) in pickers.items():
        if fixture in metafunc.fixturenames:
            paths, ids = _params(name, pick)
            metafunc.parametrize(fixture, paths, ids=ids, indirect=True)


def _data_param(request, name):
    if request.param is None:
        need(name)  # fails or skips
    return request.param


@pytest.fixture
def corpus_file(request) -> pathlib.Path:
    return _data_param(request, "corpus")


@pytest.fixture
def suite_case(request) -> pathlib.Path:
    return _data_param(request, "yaml-test-suite")


@pytest.fixture
def suite_json_case(request) -> pathlib.Path:
    return _data_param(request, "yaml-test-suite")
