"""The differential check of the reader: generated YAML texts (yamlgen.py)
must load as the data they were made from, as independent readers (PyYAML,
and ruamel.yaml when installed) load them; written back after format() they
must load to the same data again. Byte-level mutations of the texts must
load or fail with the library's own errors, never another exception.

The oracles read YAML 1.1; the generator writes only what reads the same in
both versions. A text whose load differs from its data while no oracle
reads that data either is counted as unconfirmed, not as a fault (the
generator, not the reader, may be wrong there).

    python tests/support/differential.py [--seed 1] [--count 20000] [--mutations 5]
"""

import argparse
import os
import random
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import tesvorn  # noqa: E402
import yaml  # noqa: E402
from yamlgen import generate  # noqa: E402

try:
    from ruamel.yaml import YAML
except ImportError:  # an optional second oracle
    YAML = None


def plain(value):
    """Python data of a loaded document, without node objects."""
    return value.to_python() if hasattr(value, "to_python") else value


def ours(text):
    return [plain(d) for d in tesvorn.loads_all(text)]


def oracles(text):
    """{name: data or None (refused)} of each oracle."""
    out = {}
    try:
        out["PyYAML"] = list(yaml.load_all(text, Loader=getattr(yaml, "CSafeLoader", yaml.SafeLoader)))
    except Exception:  # noqa: BLE001 - refused, whatever the reason
        out["PyYAML"] = None
    if YAML is not None:
        try:
            out["ruamel.yaml"] = [_json(d) for d in YAML(typ="safe", pure=True).load_all(text)]
        except Exception:  # noqa: BLE001
            out["ruamel.yaml"] = None
    return out


def _json(v):
    if isinstance(v, dict):
        return {str(k): _json(x) for k, x in v.items()}
    if isinstance(v, list):
        return [_json(x) for x in v]
    return v


def _keys_as_str(v):
    # tesvorn keys are strings: the oracles' are compared the same way.
    return _json(v)


def check_text(text, want):
    """A fault found on `text`, as a message; "unconfirmed: ..." when only
    the generator says the load is wrong; None when all is well."""
    try:
        got = ours(text)
    except tesvorn.TesvornError as e:
        got = e
    except Exception as e:  # noqa: BLE001 - not the library's own
        return f"raised {type(e).__name__}: {e}"
    if got != want:
        agree = [n for n, d in oracles(text).items() if d is not None and _keys_as_str(d) == want]
        what = f"refused: {got}" if isinstance(got, Exception) else f"read {got!r}"
        if not agree:
            return f"unconfirmed: {what}, expected {want!r}"
        return f"{what}, expected {want!r} (as {' and '.join(agree)} read it)"
    # Written back after format(), the text loads to the same data.
    docs = tesvorn.loads_all(text)
    for d in docs:
        d.format()
    out = tesvorn.dumps_all(docs)
    try:
        again = ours(out)
    except Exception as e:  # noqa: BLE001
        return f"format() wrote {out!r}, which fails: {e}"
    if again != want:
        return f"format() wrote {out!r}, which reads {again!r}"
    return None


def mutate(text, rng):
    chars = list(text)
    for _ in range(rng.randint(1, 3)):
        k = rng.random()
        i = rng.randrange(len(chars) + 1)
        if k < 0.4 and chars:
            del chars[min(i, len(chars) - 1)]
        elif k < 0.8:
            chars.insert(i, rng.choice(" \t\n\r-:?,[]{}#&*!|>'\"%@`\\.\x00\x01\x85\ufeff\ud800é"))
        elif chars:
            j = min(i, len(chars) - 1)
            chars[j], chars[-1 - j] = chars[-1 - j], chars[j]
    return "".join(chars)


def check_mutant(text):
    """A fault of a mutated text: an exception not the library's own, or a
    load that does not come back after dump."""
    try:
        docs = tesvorn.loads_all(text)
    except tesvorn.TesvornError:
        return None
    except RecursionError:
        return None
    except Exception as e:  # noqa: BLE001
        return f"raised {type(e).__name__}: {e}"
    try:
        want = [plain(d) for d in docs]
        back = ours(tesvorn.dumps_all(docs))
    except (tesvorn.TesvornError, ValueError) as e:
        return f"loads, but its dump does not: {type(e).__name__}: {e}"
    if back != want and repr(back) != repr(want):  # (NaN compares unequal)
        return f"dumped and loaded again reads {back!r}, not {want!r}"
    return None


# YAML 1.1 breaks lines at NEL, LS and PS (1.2 does not); the peers refuse
# tabs before some tokens. Mutants with these are not compared with them.
PEER_DIFFERENCES = ("\x85", "\u2028", "\u2029", "\t")


def peer_disagreement(text):
    """For a mutant: "refused" when both oracles read it alike and we
    refuse it, "accepted" when we read what both refuse; else None. Not a
    fault by itself (the oracles read YAML 1.1, and laxly), but where to
    look."""
    if YAML is None or any(c in text for c in PEER_DIFFERENCES):
        return None
    try:
        ours(text)
        refused = False
    except Exception:  # noqa: BLE001
        refused = True
    theirs = list(oracles(text).values())
    if refused and all(d is not None for d in theirs) and _json(theirs[0]) == _json(theirs[1]):
        return "refused"
    if not refused and all(d is None for d in theirs):
        return "accepted"
    return None


def run(seed, count, mutations, out=sys.stdout, peers=False):
    """Runs seeds [seed, seed + count); returns (faults, unconfirmed)."""
    faults, unconfirmed = [], 0
    disagreements = {"refused": [], "accepted": []}
    for s in range(seed, seed + count):
        text, want = generate(s)
        problem = check_text(text, want)
        if problem and problem.startswith("unconfirmed"):
            unconfirmed += 1
        elif problem:
            faults.append((s, text, problem))
        rng = random.Random(s)
        for m in range(mutations):
            mutant = mutate(text, rng)
            problem = check_mutant(mutant)
            if problem:
                faults.append((f"{s}/{m}", mutant, problem))
            elif peers and (kind := peer_disagreement(mutant)):
                disagreements[kind].append(mutant)
    for s, text, problem in faults[:20]:
        print(f"seed {s}: {problem}\n{text!r}\n", file=out)
    if peers:
        for kind, texts in disagreements.items():
            other = "accepted them alike" if kind == "refused" else "refused them"
            print(f"mutants we {kind} where both peers {other}: {len(texts)}; the first ones:", file=out)
            for text in texts[:10]:
                print(f"  {text!r}", file=out)
    return faults, unconfirmed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--count", type=int, default=20000)
    ap.add_argument("--mutations", type=int, default=5)
    ap.add_argument("--peers", action="store_true",
                    help="also list mutants the peers read otherwise (to look at; not faults)")
    args = ap.parse_args()
    faults, unconfirmed = run(args.seed, args.count, args.mutations, peers=args.peers)
    texts = args.count * (1 + args.mutations)
    print(f"differential: {args.count} generated texts and {args.count * args.mutations} mutations "
          f"from seed {args.seed}: {len(faults)} faults, {unconfirmed} unconfirmed ({texts} texts)")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
