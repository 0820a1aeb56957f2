"""Runs one operation of one library on one shape N times; the instruction
count mode starts it under valgrind (``python -m benchmarks.cgworker SHAPE
LIB OP N``).  It imports only what the operation needs, since everything
under valgrind runs some fifty times slower."""

import sys

from . import measure, peers
from .peers import Op
from .shapes import SHAPES


def main(shape: str, lib_key: str, op: str, n: str) -> int:
    count = int(n)
    if lib_key == "loop":
        measure.make_loop(Op(id, (None,)))(count)
        return 0
    lib = next(lib for lib in peers.ALL_LIBS if lib.key == lib_key)
    reason = lib.available()
    if reason:
        print(f"{lib_key}: {reason}", file=sys.stderr)
        return 2
    case = lib.prepare(SHAPES[int(shape)])
    measure.make_loop(getattr(case, op))(count)
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
