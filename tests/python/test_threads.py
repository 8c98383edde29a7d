"""Threads: loads, dumps and node edits from 8 threads, on unshared and on
shared objects. Nothing may crash or corrupt; an access that meets another
one in progress on the same object fails with "Already borrowed" or "Already
mutably borrowed" (or succeeds); afterwards every object is consistent: its
dump reads back to what its Python side holds.

The switch interval is made tiny so that threads change in the middle of
calls into Python code (loaders, stream reads, sort keys), where the module
holds an object's borrow flag.
"""

import collections
import io
import sys
import threading
import time

import pytest

import tesvorn

THREADS = 8
BORROW_ERRORS = ("Already borrowed", "Already mutably borrowed")

DOC = """\
# config
name: svc  # inline
replicas: 3
ports: [80, 443]
env:
  - {name: A, value: "1"}
  - {name: B, value: '2'}
base: &b {x: 1}
copy: *b
text: |
  multi
  line
"""


@pytest.fixture(autouse=True)
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_threads(target, n=THREADS):
    errors: list[BaseException] = []
    barrier = threading.Barrier(n)

    def wrapper(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=wrapper, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
        assert not t.is_alive(), "a thread hangs"
    if errors:
        raise errors[0]


def tolerated(fn, *args, **kwargs):
    """Calls fn; a borrow conflict is an allowed outcome. Returns whether it ran."""
    try:
        fn(*args, **kwargs)
        return True
    except RuntimeError as e:
        if str(e) not in BORROW_ERRORS:
            raise
        return False


class Tally:
    """`tolerated` that counts, per name, the calls that ran: a test of
    shared objects must show that work was done, not only that nothing broke
    (every call could meet a borrow conflict)."""

    def __init__(self):
        self.ran = collections.Counter()
        self.lock = threading.Lock()

    def __call__(self, name, fn, *args, **kwargs):
        ran = tolerated(fn, *args, **kwargs)
        if ran:
            with self.lock:
                self.ran[name] += 1
        return ran

    def assert_ran(self, *names):
        assert all(self.ran[n] > 0 for n in names), dict(self.ran)


def test_unshared_loads_and_dumps():
    expected_text = tesvorn.dumps(tesvorn.loads(DOC))
    expected_data = tesvorn.loads(DOC).to_python()

    def work(i):
        for k in range(150):
            doc = tesvorn.loads(DOC)
            assert doc.to_python() == expected_data
            doc["replicas"] = i * 1000 + k
            doc.set_comment_before("replicas", f"thread {i}")
            text = tesvorn.dumps(doc)
            assert f"# thread {i}\nreplicas: {i * 1000 + k}\n" in text
            assert tesvorn.dumps(tesvorn.loads(DOC)) == expected_text
            shared = [i, k]
            assert tesvorn.dumps({"a": shared, "b": shared}) == f"a: &id001\n  - {i}\n  - {k}\nb: *id001\n"
            s = io.StringIO()
            tesvorn.dump_all([{"t": i}, [k]], s)
            assert s.getvalue() == f"---\nt: {i}\n---\n- {k}\n"

    run_threads(work)


def test_shared_mapping_edits_and_reads():
    m = tesvorn.loads(DOC)
    tally = Tally()

    def work(i):
        for k in range(200):
            key = f"k{i}"
            tally("set", m.__setitem__, key, {"n": k, "l": [i, k]})
            tally("comment", m.set_comment_before, key, f"c{i}")
            tally("blank", m.blank_lines_before, key, k % 3)
            tally("dump", tesvorn.dumps, m)
            tally("read", m.to_python)
            tally("read comment", m.comment_before, "name")
            if k % 10 == 9:
                tally("pop", m.pop, key, None)
            if i == 0 and k % 50 == 0:
                tally("sort", m.sort_keys)
            if i == 1 and key in m:
                tally("move", m.move, key, k % 5)
                tally("insert", m.insert, 0, f"i{k % 3}", k)

    run_threads(work)
    tally.assert_ran("set", "comment", "blank", "dump", "read", "pop", "insert")
    reloaded = tesvorn.loads(tesvorn.dumps(m))
    assert reloaded.to_python() == m.to_python()
    assert list(reloaded) == list(m) == list(m.to_python())
    assert m["name"] == "svc" and m["copy"] == {"x": 1}


def test_shared_sequence_edits_and_reads():
    s = tesvorn.loads("- 0\n")
    tally = Tally()

    def work(i):
        for k in range(200):
            tally("append", s.append, {"t": i, "k": k})
            tally("insert", s.insert, 0, [i])
            tally("dump", tesvorn.dumps, s)
            if len(s) > 20:
                tally("pop", s.pop)
                tally("pop", s.pop, 0)
            if k % 40 == 0:
                tally("comment", s.set_comment_before, 0, f"thread {i}")
                tally("reverse", s.reverse)

    run_threads(work)
    tally.assert_ran("append", "insert", "dump", "pop", "comment", "reverse")
    assert tesvorn.loads(tesvorn.dumps(s)).to_python() == s.to_python() == list(s)


def test_sort_with_a_slow_key_meets_writers():
    """sort_keys keeps exclusive access while the key function runs (Python
    code, so other threads get in): their edits fail, never interleave."""
    m = tesvorn.YamlMapping({f"k{n:03}": n for n in range(60)})
    tally = Tally()

    def slow_key(k):
        sum(range(200))
        return k[::-1]

    def work(i):
        for _ in range(30):
            if i < 2:
                tally("sort", m.sort_keys, key=slow_key)
            else:
                tally("set", m.__setitem__, f"k{i:03}", i)
                tally("dump", tesvorn.dumps, m)

    run_threads(work)
    tally.assert_ran("sort", "set", "dump")
    assert sorted(m) == [f"k{n:03}" for n in range(60)]
    assert tesvorn.loads(tesvorn.dumps(m)).to_python() == dict(m)


def test_shared_schema_while_registering():
    """Loads hold shared access to their schema while loaders run; a thread
    registering meanwhile gets "Already borrowed" and may retry."""
    schema = tesvorn.Schema()
    schema.add_loader("!up", lambda v: v.upper())
    registered = []

    def work(i):
        for k in range(100):
            if i == 0:
                # Registration does not wait for the loads: retry.
                for _ in range(100_000):
                    if tolerated(schema.add_loader, f"!t{k}", lambda v, k=k: f"{v}{k}"):
                        registered.append(k)
                        break
                    time.sleep(0)
            else:
                docs = tesvorn.loads_all("a: !up x\nb: [!up y, 2]\n---\n- !up z\n", schema=schema)
                assert (docs[0]["a"], docs[0]["b"][0], docs[1][0]) == ("X", "Y", "Z")
                it = tesvorn.iter_loads_all("c: !up w\n", schema=schema)
                assert next(it)["c"] == "W"

    run_threads(work)
    assert registered == list(range(100))
    assert tesvorn.loads("v: !t7 q", schema=schema)["v"] == "q7"


class SlowStream:
    """A stream whose read runs Python code, so threads switch mid-next()."""

    def __init__(self, text):
        self.buf = io.StringIO(text)

    def read(self, size):
        sum(range(100))
        return self.buf.read(7)


def test_shared_iterator_hands_each_document_out_once():
    n_docs = 400
    it = tesvorn.iter_load_all(SlowStream("".join(f"---\nn: {k}\n" for k in range(n_docs))))
    got: list[int] = []
    lock = threading.Lock()

    def work(i):
        while True:
            try:
                doc = next(it)
            except StopIteration:
                return
            except RuntimeError as e:
                if str(e) not in BORROW_ERRORS:
                    raise
                continue
            with lock:
                got.append(doc["n"])

    run_threads(work)
    assert sorted(got) == list(range(n_docs))


def test_shared_plain_data_dumped_while_mutated():
    """Plain dicts and lists belong to Python; dumping one that another
    thread changes must not crash (the result is some state of it)."""
    data = {"l": list(range(50)), "d": {str(n): n for n in range(50)}}

    def work(i):
        for k in range(200):
            if i % 2:
                data["l"].append(k)
                data["l"].pop(0)
                data["d"][str(k % 70)] = k
                data["d"].pop(str((k + 35) % 70), None)
            else:
                try:
                    tesvorn.loads(tesvorn.dumps(data))
                except RuntimeError as e:  # "changed size during iteration"
                    assert "changed size" in str(e) or "mutated" in str(e), e

    run_threads(work)
