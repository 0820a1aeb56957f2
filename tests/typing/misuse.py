"""Calls the type stubs must reject; never run.

Each line marked `# E: CODE` must draw exactly that mypy error and no other
line may draw any (.ci/typecheck checks both).
"""

from Mivex import TLParser

parser = TLParser(42)  # E: arg-type
parser.unpack("0100000007000000")  # E: arg-type
parser.pack({"_": "user", "id": object()})  # E: dict-item
user_id: int = parser.unpack(b"")["id"]  # E: assignment
