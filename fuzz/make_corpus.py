"""Write the seed corpus of the unpack target: golden values of the kind the
wire tests use (edge integers, NaN and signed zeros, both byte-string forms,
UTF-8 text, flags words, vectors, nesting), packed against the fixed schema.

    python fuzz/make_corpus.py [OUTDIR]      (default fuzz/corpus/unpack)

Each seed is named by its SHA-1, so re-running adds nothing twice.
"""

import hashlib
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

from fuzzcheck import checks  # noqa: E402


def payload(n):
    return bytes((i * 7 + 1) % 256 for i in range(n))


def prim(i=0, l=0, d=0.0, s="", b=b"", ok=False):
    return {"_": "prim", "i": i, "l": l, "d": d, "s": s, "b": b, "ok": ok}


def node(depth, kids=()):
    value = {"_": "node", "val": depth, "kids": list(kids)}
    for i in range(depth):
        value = {"_": "node", "val": i, "next": value}
    return value


def vecs(**fields):
    return {"_": "vecs", **fields}


def opt(**fields):
    return {"_": "opt", "mid": 7, **fields}


def top(p=None, o=None, v=None, n=None):
    return {"_": "top", "p": p or prim(), "o": o or opt(), "v": v or vecs(),
            "n": n or node(0), "e": {"_": "empty"}}


GOLDEN = [
    {"_": "empty"},
    prim(),
    prim(1, 0x0102030405060708, 1.5, "ab", b"abcd", True),
    prim(-1, 2**64 - 1, -0.0, "\u00e9", b"", True),
    prim(2**31 - 1, 2**63, float("inf"), "\U0001f600", b"a", False),
    prim(-(2**31), 1, float("nan"), "\u65e5\u672c\u8a9e", payload(3), True),
    prim(0x12345678, 0, 5e-324, "h\u00e9llo", payload(253)),
    prim(0, 0, float("-inf"), "\u00e9" * 127, payload(254)),
    prim(0, 0, 0.0, "x" * 300, payload(1000)),
    opt(),
    opt(a=5, t=True, s="ab"),
    opt(a=-1, v=[1, 2**64 - 1], x=b"\x11\x22", c=True, d=2.5),
    opt(n=prim(3, s="nested"), vs=["", "a", "\U0001f600"], t=True),
    opt(a=0, s="", v=[], x=b"", c=True, n=prim(), d=-0.0, vs=[]),
    vecs(),
    vecs(vi=[1, 2, -1], vl=[0, 2**64 - 1], vd=[1.5, float("nan")]),
    vecs(vs=["ab", "", "\u00e9"], vb=[b"a", b"abcd", payload(254)],
         vB=[True, False, True]),
    vecs(vo=[prim(1), prim(2, s="z")], vv=[4, 5, 6]),
    node(0),
    node(3),
    node(1, [node(0), node(2)]),
    node(40),
    top(),
    top(prim(9, 9, 9.0, "nine", b"9", True), opt(a=1, t=True),
        vecs(vi=[1]), node(2, [node(0)])),
    {"_": "call", "q": "query", "arg": top()},
]


def main(outdir):
    os.makedirs(outdir, exist_ok=True)
    p = checks.fixed_parser()
    for value in GOLDEN:
        data = p.pack(value)
        checks.check_unpack(data)
        # Also the message cut short and with trailing bytes: the two ways
        # real input most often differs from a packed one.
        for seed in (data, data[: len(data) * 2 // 3], data + b"\x01\x00\x00\x00"):
            name = hashlib.sha1(seed).hexdigest()
            with open(os.path.join(outdir, name), "wb") as f:
                f.write(seed)
    print(f"{len(os.listdir(outdir))} seeds in {outdir}")


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus", "unpack"))
