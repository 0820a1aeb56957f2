"""Write the seed corpora of the unpack and std_unpack targets: golden
values of the kind the wire tests use (edge integers, NaN and signed zeros,
both byte-string forms, UTF-8 text, flags words, vectors, nesting), packed
against the fixed schema of each profile.

    python fuzz/make_corpus.py [OUTDIR]      (default fuzz/corpus/, one folder per target)

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


def std_prim(i=0, h=0, w=0, ok=False, **rest):
    return {"_": "prim", "i": i, "l": -i, "d": 0.5, "s": "", "b": b"", "ok": ok,
            "h": h, "w": w, "t": True, "flags": -1, **rest}


def std_node(depth, kids=()):
    value = {"_": "node", "val": -depth, "kids": list(kids)}
    for i in range(depth):
        value = {"_": "node", "val": i, "next": value,
                 "link": {"to": {"to": None, "n": None}, "n": None} if i % 3 == 0 else None}
    return value


def std_opt(**fields):
    return {"_": "opt", "mid": -7, **fields}


PT = {"x": -1, "y": 2}
STD_GOLDEN = [
    {"_": "empty"},
    {"_": "boolTrue"},
    {"_": "alt", "x": -5},
    std_prim(),
    std_prim(-(2**31), -(2**127), 2**255 - 1, True, s="\u00e9t\u00e9", b=payload(254),
             d=float("nan")),
    std_prim(2**31 - 1, 2**127 - 1, -(2**255), False, s="x" * 300, b=payload(3)),
    std_opt(),
    std_opt(a=1, same=2, t=True, b=False, s="ab", v=[-1, 2**63 - 1], x=b"\x01"),
    std_opt(c=True, n=std_prim(3), big=-1, p=PT, f=True),
    {"_": "many", **{f"c{k}": k for k in range(0, 12, 2)}, **{f"t{k}": True for k in range(1, 12, 3)}},
    {"_": "vecs", "vi": [-1, 0, 1], "vl": [-(2**63)], "vd": [1.5], "vs": ["", "a"],
     "vb": [b"ab"], "vB": [True, False], "vo": [std_prim(), {"_": "alt", "x": 1}],
     "vv": [[1, 2], []], "bi": [7], "bv": [[3]], "vh": [2**32 - 1], "v128": [-2],
     "b256": [5], "vp": [PT, PT], "vP": [PT], "vbb": [[True], [False, True]]},
    {"_": "bare", "p": PT, "q": PT, "r": {"a": -3, "b": True, "s": "r"},
     "o": std_opt(a=4, same=4)},
    std_node(0),
    std_node(4, [std_node(1)]),
    std_node(30),
    {"_": "top", "p": std_prim(1), "o": std_opt(), "v": {"_": "vecs"}, "n": std_node(2),
     "e": {"_": "empty"}, "any": {"_": "getPoint", "id": -1},
     "bare": {"p": PT, "q": PT, "r": {"a": 1, "b": False, "s": ""}, "o": std_opt()},
     "thing": {"_": "point", "x": 0, "y": 0}, "m": {"_": "many"}},
    {"_": "call", "q": "q", "arg": {"_": "call", "q": "", "arg": {"_": "empty"}}},
    {"_": "getPoint", "id": 2**63 - 1},
]


def write(outdir, p, values, check):
    os.makedirs(outdir, exist_ok=True)
    for value in values:
        data = p.pack(value)
        check(data)
        # Also the message cut short and with trailing bytes: the two ways
        # real input most often differs from a packed one.
        for seed in (data, data[: len(data) * 2 // 3], data + b"\x01\x00\x00\x00"):
            name = hashlib.sha1(seed).hexdigest()
            with open(os.path.join(outdir, name), "wb") as f:
                f.write(seed)
    print(f"{len(os.listdir(outdir))} seeds in {outdir}")


def main(root):
    write(os.path.join(root, "unpack"), checks.fixed_parser(), GOLDEN, checks.check_unpack)
    write(os.path.join(root, "std_unpack"), checks.parser_of(True), STD_GOLDEN,
          checks.check_std_unpack)


if __name__ == "__main__":
    here = os.path.dirname(os.path.abspath(__file__))
    main(sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus"))
