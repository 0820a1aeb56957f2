"""Runs one operation of one library on one shape N times; the instruction
count mode starts it under valgrind (``python -m benchmarks.cgworker SHAPE
LIB OP N``).  It imports only what the operation needs, since everything
under valgrind runs some fifty times slower.  SHAPE ``mix:VARIANT`` runs N
passes over the mix instead (see ``mix.worker``)."""

import sys

from . import measure, peers
from .peers import Op
from .shapes import SHAPES


def main(shape: str, lib_key: str, op: str, n: str) -> int:
    count = int(n)
    if shape.startswith("mix:"):
        from . import mix
        mix.worker(shape[4:], lib_key, op, count, mix.COUNT_HOT_REPEATS)
        return 0
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
