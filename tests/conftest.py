"""Schema-building helpers shared by the test modules.

Import them with ``from conftest import param, ctor, schema, make_parser, OMIT``.
"""

import json

from Mivex.tl import TLParser

# Pass as ``type=OMIT`` to leave the "type" key out of an entry.
OMIT = object()


def param(name, type):
    """One entry of a constructor's "params"."""
    return {"name": name, "type": type}


def ctor(name, id, *params, type=None, key="predicate"):
    """One constructor (or, with ``key="method"``, method) entry.

    The result type defaults to the name; ``type=OMIT`` leaves the key out.
    """
    entry = {key: name, "id": id, "params": list(params)}
    if type is not OMIT:
        entry["type"] = type or name
    return entry


def schema(*constructors, methods=()):
    """JSON text of a schema holding the given entries."""
    return json.dumps({"constructors": list(constructors), "methods": list(methods)})


def make_parser(*constructors, methods=()):
    return TLParser(schema(*constructors, methods=methods))
