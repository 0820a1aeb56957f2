#!/usr/bin/env python3
"""Generated schemas and values in the standard profile: compile, pack
(lenient and strict), unpack, compare with the standard profile's model.

Run with the sanitizer runtime preloaded (see .ci/sanitize), e.g.
    python fuzz/fuzz_std_schema.py -seed=1 -max_total_time=60 CORPUS_DIR
"""

import os
import sys

# The checks and the model are the tests' fuzz oracle.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

import atheris  # noqa: E402

from fuzzcheck import checks  # noqa: E402


def test_one_input(data):
    checks.check_std_schema(data)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
