"""Mivex.schema: TL schema text to the JSON schema TLParser takes."""

import json
import warnings
import zlib

import pytest

from Mivex.schema import (
    IdMismatchWarning, TLSchemaSyntaxError, UnknownTypeWarning, crc_id, normalise,
    parse_declarations, parse_tl, tl_to_json,
)
from Mivex.tl import TLParser


def signed(u):
    return str(u - (1 << 32) if u >= 1 << 31 else u)


@pytest.mark.parametrize("decl, expected", [
    ("boolFalse = Bool;", 0xBC799737),
    ("boolTrue = Bool", 0x997275B5),
    ("vector {t:Type} # [ t ] = Vector t;", 0x1CB5C415),
    ("int ? = Int;", 0xA8509BDA),
    # The type variable reads "X:Type", without its braces.
    ("invokeWithLayer {X:Type} layer:int query:!X = X;", 0xDA9B0D0D),
])
def test_known_ids(decl, expected):
    assert crc_id(decl) == expected


def test_crc_of_a_full_line():
    decl = ("messages.search#deadbeef {X:Type} flags:# flags2:# silent:flags.0?true\n"
            "   peer:InputPeer data:flags.1?bytes raw:bytes ids:Vector<Vector<long>>\n"
            "   extra:flags2.3?Vector<bytes> q:!X = Vector<messages.Message>;")
    by_hand = ("messages.search X:Type flags:# flags2:# peer:InputPeer data:flags.1?string "
               "raw:string ids:Vector Vector long extra:flags2.3?Vector bytes q:!X "
               "= Vector messages.Message")
    assert normalise(decl) == by_hand
    assert crc_id(decl) == zlib.crc32(by_hand.encode())


@pytest.mark.parametrize("decl, expected", [
    ("a#1f = A;", "a = A"),
    ("v {t:Type} x:t = V t", "v t:Type x:t = V t"),
    ("a x:Vector<int> = Vector<A>", "a x:Vector int = Vector A"),
    ("a x:vector<%M> = A", "a x:vector %M = A"),
    ("a x:Foo<B,Vector<C>> = A", "a x:Foo B Vector C = A"),
    ("a flags:# b:flags.0?true c:flags.1?int d:true = A", "a flags:# c:flags.1?int d:true = A"),
    ("a flags:# b:bytes c:flags.2?bytes d:Vector<bytes> = A",
     "a flags:# b:string c:flags.2?string d:Vector bytes = A"),
    ("vector {t:Type} # [t] = Vector t", "vector t:Type # [ t ] = Vector t"),
    ("  a\n\tx:int   // note\n  y:long\r\n = A ;", "a x:int y:long = A"),
])
def test_normalise(decl, expected):
    assert normalise(decl) == expected


TEXT = """\
// primitives and the vector are built in
int ? = Int;
long ? = Long;
double ? = Double;
string ? = String;
bytes = Bytes;
vector {t:Type} # [ t ] = Vector t;

boolFalse#bc799737 = Bool;
auth.sentCode flags:# flags2:# code:flags.0?true
    hash:flags2.5?bytes = auth.SentCode;  // spans two lines
---functions---
invokeWithLayer#da9b0d0d {X:Type} layer:int query:!X = X;
---types---
peer id:long = Peer;
"""


def test_parse_tl_sections_ids_and_skipped_builtins():
    sent = "auth.sentCode flags:# flags2:# hash:flags2.5?string = auth.SentCode"
    assert parse_tl(TEXT) == {
        "constructors": [
            {"id": signed(0xBC799737), "predicate": "boolFalse", "params": [], "type": "Bool"},
            {"id": signed(zlib.crc32(sent.encode())), "predicate": "auth.sentCode", "params": [
                {"name": "flags", "type": "#"}, {"name": "flags2", "type": "#"},
                {"name": "code", "type": "flags.0?true"},
                {"name": "hash", "type": "flags2.5?bytes"}], "type": "auth.SentCode"},
            {"id": signed(zlib.crc32(b"peer id:long = Peer")), "predicate": "peer",
             "params": [{"name": "id", "type": "long"}], "type": "Peer"},
        ],
        "methods": [{"id": signed(0xDA9B0D0D), "method": "invokeWithLayer", "params": [
            {"name": "layer", "type": "int"}, {"name": "query", "type": "!X"}], "type": "X"}],
    }
    assert [list(e) for e in parse_tl(TEXT)["methods"]] == [["id", "method", "params", "type"]]
    decls = parse_declarations(TEXT)
    assert [d.name for d in decls if d.builtin] == ["int", "long", "double", "string", "bytes",
                                                    "vector"]
    assert json.loads(tl_to_json(TEXT, indent=2)) == parse_tl(TEXT)


@pytest.mark.parametrize("field, json_type", [
    ("x:flags.0?string", "flags.0?string"),
    ("x:flags2.31?Vector<User>", "flags2.31?Vector<User>"),
    ("x:Vector<long>", "Vector<long>"),
    ("x:!X", "!X"),
    ("x:bytes", "bytes"),
    ("x:storage.FileType", "storage.FileType"),
    # '%' goes where it changes nothing: primitives and names bare already.
    ("x:%int", "int"),
    ("x:%int128", "int128"),
    ("x:flags.2?%string", "flags.2?string"),
    ("x:Vector<%long>", "Vector<long>"),
    ("x:%geo.point", "geo.point"),
    ("x:%vector<point>", "vector<point>"),
    # It stays on a boxed type name, judged after the last dot.
    ("x:%Point", "%Point"),
    ("x:%geo.Point", "%geo.Point"),
    ("x:%Bool", "%Bool"),
    ("x:Vector<%Message>", "Vector<%Message>"),
    ("x:flags2.4?Vector<Vector<%geo.Point>>", "flags2.4?Vector<Vector<%geo.Point>>"),
    # A bare vector is the lowercase vector.
    ("x:%Vector<int>", "vector<int>"),
    ("x:%Vector<%Point>", "vector<%Point>"),
    ("x:Vector<%Vector<point>>", "Vector<vector<point>>"),
    # As written.
    ("x:vector<long>", "vector<long>"),
    ("x:vector<geo.point>", "vector<geo.point>"),
    ("x:geo.point", "geo.point"),
    ("x:int256", "int256"),
    ("x:Object", "Object"),
    ("x:flags.5?Vector<int128>", "flags.5?Vector<int128>"),
])
def test_field_types(field, json_type):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UnknownTypeWarning)
        (entry,) = parse_tl(f"t {{X:Type}} flags:# flags2:# {field} = T;")["constructors"]
    assert entry["params"][-1] == {"name": "x", "type": json_type}


def test_mismatched_id_is_kept_and_warned():
    text = "\n\nboolTrue#12345678 = Bool;"
    with pytest.warns(IdMismatchWarning, match=r"'boolTrue'.*0x12345678.*0x997275b5") as rec:
        (entry,) = parse_tl(text)["constructors"]
    assert rec[0].filename == __file__  # blamed on the caller
    assert entry["id"] == str(0x12345678)
    (decl,) = parse_declarations(text)
    assert (decl.explicit_id, decl.computed_id, decl.lineno) == (0x12345678, 0x997275B5, 3)
    with warnings.catch_warnings():
        warnings.simplefilter("error", IdMismatchWarning)
        with pytest.raises(IdMismatchWarning):
            tl_to_json(text)
        parse_tl("boolTrue#997275b5 = Bool;")  # a matching id is silent


@pytest.mark.parametrize("text, line, col, message", [
    ("a = A;\nb x:int = B", 2, 12, "unterminated"),
    ("a = A;\nb x int = B;", 2, 5, "expected ':' after field name"),
    ("a x:int;", 1, 8, "expected '='"),
    ("a#xyz = A;", 1, 2, "bad constructor id"),
    ("a#123456789 = A;", 1, 2, "bad constructor id"),
    ("a = A;\n---foo---\n", 2, 1, "unknown section marker"),
    ("a = A;\n  = B;", 2, 3, "expected a declaration name"),
    ("a = A\nb = B;", 1, 6, "expected ';'"),
    ("a x:int\n---functions---", 2, 1, "expected ';'"),
    ("a x:Vector<int = A;", 1, 16, "expected '>'"),
    ("a x:flags.0?int = A;", 1, 5, "'flags' is not a '#' field"),
    ("a flags:# x:flags.32?int = A;", 1, 13, "out of range"),
    ("a flags:long = A;", 1, 3, "field 'flags' must have type '#' or 'int'"),
    ("a flags2:Vector<int> = A;", 1, 3, "field 'flags2' must have type '#' or 'int'"),
    ("a id:int flags:int x:flags.0?int = A;", 1, 22, "'flags' is not a '#' field declared"),
    ("a x:extra.0?int extra:# = A;", 1, 5, "'extra' is not a '#' field declared before"),
    # The codec writes a flags word whether or not its own bit is set.
    ("a#1 flags:# x:flags.0?int flags2:flags.1?# = A;", 1, 34,
     "flags word 'flags2' cannot itself be conditional"),
    ("a flags2:# flags:flags2.0?# = A;", 1, 18, "flags word 'flags' cannot itself be conditional"),
    ("a flags:# flags2:flags.3?int = A;", 1, 18, "flags word 'flags2' cannot itself be conditional"),
    ("a flags:# extra:flags.3?# = A;", 1, 17, "flags word 'extra' cannot itself be conditional"),
    ("a x:!X = A;", 1, 5, "names no type variable"),
    ("a x:int x:long = A;", 1, 9, "duplicate field"),
    ("int128 ? = Int128;", 1, 1, "not a primitive type"),
    ("a n:# [ int ] = A;", 1, 7, "only supported in the built-in vector"),
    ("---functions---\nvector {t:Type} # [ t ] = Vector t;", 2, 19, "built-in vector"),
    ("a x:in$t = A;", 1, 7, "unexpected character"),
    ("a _:int = A;", 1, 3, "'_' cannot be a field name"),
    ("a x:" + "Vector<" * 400 + "int" + ">" * 400 + " = A;", 1, 460, "nested more than 64"),
    ("a flags:# x:flags." + "1" * 5000 + "?int = A;", 1, 13, r"flag bit 111111\.\.\.\(5000 digits\) is out of range"),
    ("a flags:# x:flags.0032?int = A;", 1, 13, "flag bit 32 is out of range"),
    # Every line break style counts once, and a comment ends at any of them.
    ("a = A;\rb c = B;", 2, 5, "expected ':'"),
    ("a = A;\r\n\r\nb c = B;", 3, 5, "expected ':'"),
    ("a = A; // note\rb c = B;", 2, 5, "expected ':'"),
    # The first fault in the text is the one reported.
    ("a x int = A;\nb#xyz = B;", 1, 5, "expected ':'"),
    ("a f:# x:f.33?int = A;\nb ! = B;", 1, 9, "flag bit 33 is out of range"),
])
def test_syntax_errors(text, line, col, message):
    with pytest.raises(TLSchemaSyntaxError, match=message) as info:
        parse_tl(text)
    assert (info.value.lineno, info.value.colno) == (line, col)
    assert str(info.value).startswith(f"line {line}, column {col}: ")


@pytest.mark.parametrize("text, at, message", [
    ("p#11111111 x:int = P;\nq#11111111 s:string = Q;", (2, 1),
     "duplicate id 0x11111111: 'q' has the id of 'p' on line 1"),
    (f"a = A;\n\n  b#{zlib.crc32(b'a = A'):08x} = B;", (3, 3), "duplicate id"),  # explicit vs computed
    ("a x:int = A;\n---functions---\na x:long = A;", (3, 1),
     "duplicate name 'a': first declared on line 1"),
    ("---functions---\nf = X;\nf#1 = X;", (3, 1), "duplicate name 'f'"),
])
def test_repeated_names_and_ids_are_refused(text, at, message):
    # TLParser would keep only the last entry for each name and id.
    with pytest.raises(TLSchemaSyntaxError, match=message) as info:
        parse_tl(text)
    assert (info.value.lineno, info.value.colno) == at
    assert len(parse_declarations(text)) == 2  # the raw listing still has both


def test_repeated_builtins_and_deep_but_bounded_types_are_accepted():
    text = "int ? = Int;\nint ? = Int;\nvector {t:Type} # [ t ] = Vector t;\n" * 2
    assert parse_tl(text) == {"constructors": [], "methods": []}
    # A ';' inside '[ ... ]' does not end the declaration.
    (vector, a) = parse_declarations("vector {t:Type} # [ t ; ] = Vector t;\na = A;")
    assert vector.builtin and vector.normalised == "vector t:Type # [ t ; ] = Vector t"
    assert a.name == "a"
    (entry,) = parse_tl("a x:" + "Vector<" * 64 + "int" + ">" * 64 + " = A;")["constructors"]
    assert entry["params"][0]["type"] == "Vector<" * 64 + "int" + ">" * 64


APP = """\
// a small messaging service
int ? = Int;
long ? = Long;
string ? = String;
vector {t:Type} # [ t ] = Vector t;
boolFalse#bc799737 = Bool;
boolTrue#997275b5 = Bool;
photo#4a1f2b3c id:long sizes:Vector<int> = Photo;
user#5c2d1e00 flags:# id:long bot:flags.0?true name:flags.1?string
    photo:flags.2?Photo = User;
message#6e3f0a11 flags:# flags2:# id:int from:User text:string
    media:flags.3?bytes silent:flags2.0?true tags:flags2.1?Vector<string> = Message;
messages.list#7a00c0de messages:Vector<Message> users:Vector<User> = messages.List;
---functions---
messages.send#8b11d0ef peer:User text:string = Message;
invokeWithLayer#da9b0d0d {X:Type} layer:int query:!X = X;
"""


def test_round_trip_through_tlparser():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", IdMismatchWarning)
        parser = TLParser(tl_to_json(APP))
    ada = {"_": "user", "id": 7, "bot": True, "name": "Ada",
           "photo": {"_": "photo", "id": 2**63, "sizes": [1, 2, 3]}}
    bob = {"_": "user", "id": 8, "bot": False, "name": None, "photo": None}
    msg = {"_": "message", "id": 1, "from": ada, "text": "hé", "media": b"\x00\xff",
           "silent": True, "tags": ["a", "b"]}
    bare = {"_": "message", "id": 2, "from": bob, "text": "", "media": None,
            "silent": False, "tags": None}
    value = {"_": "messages.list", "messages": [msg, bare], "users": [ada, bob]}
    data = parser.pack(value)
    assert data[:4] == (0x7A00C0DE).to_bytes(4, "little")
    assert parser.unpack(data) == value
    call = {"_": "invokeWithLayer", "layer": 160,
            "query": {"_": "messages.send", "peer": bob, "text": "hi"}}
    data = parser.pack(call)
    assert data[:4] == (0xDA9B0D0D).to_bytes(4, "little")
    assert data[8:12] == (0x8B11D0EF).to_bytes(4, "little")
    assert parser.unpack(data) == call
