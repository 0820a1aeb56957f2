"""Mivex's benchmark suite: ``python -m benchmarks`` (``--help`` for options).

Measures Mivex's pack and unpack side by side with general-purpose
serializers, a pure-Python codec of the same wire format and a C floor built
on the fly, on seven message shapes, and writes ``results/latest.md`` and
``results/ratios.png``.  ``--cachegrind`` counts instructions per call instead.

``python -m benchmarks.mix`` (or ``--shapes mix``) measures the mix: a
generated schema of 2,400 entries and one value for each, read from JSON as
an application gets it.  ``python -m benchmarks.guard`` checks Mivex's
instruction counts against the committed baseline in ``baseline/``.
"""
