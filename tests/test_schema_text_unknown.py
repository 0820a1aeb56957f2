"""Mivex.schema warns once about each type that nothing in the schema makes."""

import warnings

import pytest

from Mivex.schema import UnknownTypeWarning, parse_declarations, parse_tl, tl_to_json

USER = "user id:long name:string = User;\n"


def unknown(text):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        parse_tl(text)
    assert all(w.category is UnknownTypeWarning for w in caught)
    return [str(w.message) for w in caught]


@pytest.mark.parametrize("text, expected", [
    ("user name:strng = User;",
     ["line 1: type 'strng' (field 'name' of 'user') is not built in and no constructor "
      "of the schema produces it"]),
    (USER + "users.list users:Vector<Usr> = users.List;",
     ["line 2: type 'Usr' (field 'users' of 'users.list') is not built in and no "
      "constructor of the schema produces it"]),
    # One warning per name, at its first use; a field on a continuation line.
    ("a x:int\n  y:Foo = A;\nb flags:# z:Vector<Foo> w:flags.0?Foo = B;",
     ["line 2: type 'Foo' (field 'y' of 'a')"]),
    ("a x:Foo<Bar,Baz<Bar>> = A;\nFoo = Foo;",
     ["line 1: type 'Bar' (field 'x' of 'a')", "line 1: type 'Baz' (field 'x' of 'a')"]),
    ("---functions---\nusers.get ids:Vector<long> = Vector<Usr>;\n---types---\n" + USER,
     ["line 2: type 'Usr' (the result of 'users.get')"]),
    # A method makes no type; a type variable covers its own declaration only.
    ("---functions---\nget = Bool;\n---types---\nq x:get = Q;",
     ["line 4: type 'get' (field 'x' of 'q')"]),
    ("v {t:Type} x:t = V t;\nw y:t z:V<t> = W;", ["line 2: type 't' (field 'y' of 'w')"]),
    # Bare and marked uses name the type they stand for.
    ("point x:int = Point;\np a:%Point b:vector<geo.point> c:%Shape = P;",
     ["line 2: type 'geo.point' (field 'b' of 'p')", "line 2: type 'Shape' (field 'c' of 'p')"]),
    # Built in, made by a constructor (before or after the use), or a type variable.
    ("a b:B c:%B d:b e:vector<b> f:%Vector<%B> g:Vector<Vector<B>> = A;\nb = B;", []),
    ("a flags:# w:int x:long y:double z:string v:bytes u:int128 t:int256 s:Bool r:flags.0?true "
     "q:Vector<Object> p:vector<int> = A;", []),
    ("v {t:Type} x:t y:Vector<t> = V t;\n---functions---\nf {X:Type} q:!X = X;", []),
    ("int ? = Int;\nvector {t:Type} # [ t ] = Vector t;", []),
])
def test_unknown_types_are_named_once(text, expected):
    messages = unknown(text)
    assert len(messages) == len(expected)
    for message, start in zip(messages, expected):
        assert message.startswith(start)


def test_warning_honours_filters_and_blames_the_caller():
    text = "a\n\nx:Missing = A;"
    with pytest.warns(UnknownTypeWarning, match=r"^line 3: type 'Missing'") as rec:
        parse_tl(text)
    assert rec[0].filename == __file__
    with warnings.catch_warnings():
        warnings.simplefilter("error", UnknownTypeWarning)
        with pytest.raises(UnknownTypeWarning):
            tl_to_json(text)
        parse_declarations(text)    # the raw listing never warns
        warnings.simplefilter("ignore", UnknownTypeWarning)
        assert parse_tl(text)["constructors"][0]["params"] == [{"name": "x", "type": "Missing"}]
