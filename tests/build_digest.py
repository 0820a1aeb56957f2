"""Whether two builds of Mivex.tl give the same output: ``--make FILE`` draws
the property tests' schemas and values in both profiles and writes each
schema with the bytes this build packs for its value; ``FILE`` then prints a
digest of what this build does with them (unpack, pack of what unpack gave,
every truncation of the bytes). Builds that print the same digest for one
FILE agree byte for byte on all of it; CI compares the portable build with
the fast one this way.

    python tests/build_digest.py --make corpus.jsonl
    python tests/build_digest.py corpus.jsonl
"""

import hashlib
import json
import sys
from pathlib import Path

from Mivex.tl import TLParser


def make(path: str) -> None:
    from hypothesis import HealthCheck, given, settings

    sys.path.insert(0, str(Path(__file__).resolve().parent))
    import test_properties as default
    import test_standard_properties as standard

    drawn = settings(max_examples=300, deadline=None, database=None,
                     suppress_health_check=list(HealthCheck))
    with open(path, "w") as out:
        def write(schema_json, is_standard, value):
            data = TLParser(schema_json, standard=is_standard).pack(value)
            out.write(json.dumps({"schema": schema_json, "standard": is_standard,
                                  "data": data.hex()}) + "\n")

        given(default.cases())(drawn(lambda case: write(case[0].json(), False, case[2])))()
        given(standard.cases())(drawn(lambda case: write(case[0].json(), True, case[1])))()


def outcome(call, arg):
    try:
        result = call(arg)
    except Exception as exc:  # noqa: BLE001 - the outcome is what is compared
        return f"{type(exc).__name__}: {exc}", None
    return repr(result), result


def digest(path: str) -> str:
    h, count = hashlib.sha256(), 0
    for line in open(path):
        case = json.loads(line)
        parser = TLParser(case["schema"], standard=case["standard"])
        data = bytes.fromhex(case["data"])
        shown, value = outcome(parser.unpack, data)
        h.update(shown.encode())
        if value is not None:
            h.update(outcome(parser.pack, value)[0].encode())
        for cut in range(0, len(data), 3):
            h.update(outcome(parser.unpack, data[:cut])[0].encode())
        count += 1
    return f"{h.hexdigest()} over {count} cases"


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make"]:
        make(sys.argv[2])
    else:
        print(digest(sys.argv[1]))
