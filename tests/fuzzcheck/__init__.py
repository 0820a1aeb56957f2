"""The fuzz oracle: ``tlref`` and ``stdref``, Python models of the default
and the standard wire profile written without the extension, and
``checks``, what each fuzz target checks against them. The atheris scripts
in fuzz/ and tests/test_fuzz_regressions.py both use these, so a saved
input replays through exactly the same check."""
