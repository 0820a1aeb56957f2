"""Mivex's benchmark suite: ``python -m benchmarks`` (``--help`` for options).

Measures Mivex's pack and unpack side by side with general-purpose
serializers, a pure-Python codec of the same wire format and a hand-written C
reference codec built on the fly (key ``floor``), on seven message shapes, and
writes ``results/latest.md`` and ``results/ratios.png``.  ``--cachegrind``
counts instructions per call instead.  The keys ``mivex_standard``,
``mivex_strict``, ``mivex_buffers`` (``pack_into``/``unpack_from``),
``mivex_iter`` and ``mivex_each`` (``iter_unpack`` against one ``unpack`` per
object) measure Mivex's own options and stream methods.

``python -m benchmarks.mix`` (or ``--shapes mix``) measures the mix: a
generated schema of 2,400 entries and one value for each, read from JSON as
an application gets it.  ``python -m benchmarks.guard`` checks Mivex's
instruction counts against the committed baseline in ``baseline/``.
``python -m benchmarks.versions`` puts Mivex against its fastest peer on
several interpreters (``results/versions.md``).
"""
