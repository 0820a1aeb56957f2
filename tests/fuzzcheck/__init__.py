"""The fuzz oracle: ``tlref``, a Python model of the wire format written
without the extension, and ``checks``, what each fuzz target checks against
it.  The atheris scripts in fuzz/ and tests/test_fuzz_regressions.py both
use these, so a saved input replays through exactly the same check."""
