"""Bad arguments at every Python entry point of JSONStore, Bitmap, Extractor and the
module functions.

One table holds, per public member, calls with wrong types, negative, huge and empty
values, invalid JSON, text that is not UTF-8, unknown enumeration values and objects
that were never initialised. Each row says which Python exception the call must raise
(a few empty values have a defined, harmless answer, and the row says that answer).
A member that appears in dir() without a row fails the coverage test, so a member
added later is noticed.

Every bad call runs against one store holding records and a projection; afterwards the
store must answer its queries exactly as before: nothing lost, nothing half-written.
"""
import dataclasses
import gc
import math
import os
import threading
import types
from typing import Any, Callable

import numpy as np
import pytest
import zmq

from store_helpers import LOG_SIZE, client, free_port, make_store, request

U64_MAX = 2**64 - 1
# Integers no unsigned 64-bit argument accepts, and floats no integer argument accepts.
NOT_U64 = [-1, 2**64, -(2**63) - 1, float("inf"), float("nan"), 1.5, None, "1", b"1", [1], object()]
NOT_TEXT = [None, 1, 1.5, [b"a"], object(), "\ud800"]  # "\ud800" cannot be encoded as UTF-8
INVALID_JSON = [
    b"{",
    b"nul",
    b'{"k": 1} trailing',
    b'{"k": "v"}\n{"k": ',  # the good first document must not go in either
    b"[1,",
    b'{"k": 1}\x00',
    b'{"k": "\xff\xfe"}',  # not UTF-8
    b'{"k": "\xed\xa0\x80"}',  # an encoded lone surrogate
    b"[" * 100_000 + b"]" * 100_000,  # nesting deeper than any parser allows
    b'{"k": 01}',
    b'{"k": 1e}',
    b'{"k": "a\x01b"}',  # a control character inside a string
    b"\xef\xbb\xbf" + b'{"k": 1}',  # a byte-order mark
    b'{"k": "' + b"x" * (32 * 2**20) + b'"}',  # larger than a log page
]
PROJECTED_NUMBERS_BEYOND_DOUBLE = [b'{"k": 1e400}', b'{"k": -1e400}', b'{"k": 1' + b"0" * 400 + b"}"]


@dataclasses.dataclass
class World:
    ext: Any
    store: Any
    path: str
    tmp: str
    records: Any  # Bitmap of every record
    columns: Any  # record extractor of every field


def answers(world):
    """Everything the store tells about its contents."""
    ext, store = world.ext, world.store
    everything = store.scan("/n", ext.ScanOperation.GE, [0], None, None)
    return {
        "stats": store.stats(),
        "end": store.end_address,
        "projections": sorted(store.get_all_projections()),
        "indexed": list(store.scan("/k", ext.ScanOperation.EQ, ["x"], None, None)),
        "scanned": list(everything),
        "table": store.extract(world.columns, everything),
        "running": store.is_running(),
        "locked": store.is_locked(),
    }


@pytest.fixture(scope="module")
def world(ext, tmp_path_factory):
    tmp = tmp_path_factory.mktemp("bad_input")
    store, _ = make_store(ext, tmp / "store")
    store.projection("/k")
    store.save(b"\n".join(b'{"k": "%s", "n": %d, "f": %d.5, "s": "t%d"}' % (b"xy"[i % 2 : i % 2 + 1], i, i, i)
                          for i in range(12)))
    E = ext.Extractor
    columns = E.record([("k", E.String("/k", None)), ("n", E.Int("/n", True, 64, None, None, None)),
                        ("f", E.Float("/f", 64, None, None, None)), ("s", E.Raw("/s"))])
    world = World(ext, store, str(tmp / "store"), str(tmp), None, columns)
    world.records = store.scan("/n", ext.ScanOperation.GE, [0], None, None)
    assert len(world.records) == 12
    yield world
    store.stop()
    del world.store, store
    gc.collect()


# ---- the table -------------------------------------------------------------------------


@dataclasses.dataclass(frozen=True)
class Raises:
    types: tuple
    match: str | None = None


@dataclasses.dataclass(frozen=True)
class Returns:
    check: Callable[[Any], bool]
    description: str


def raises(*exception_types, match=None):
    return Raises(tuple(exception_types), match)


def returns(value):
    return Returns(lambda result: result == value, repr(value))


@dataclasses.dataclass(frozen=True)
class Row:
    owner: str  # "JSONStore", "Bitmap", "Extractor" or "module"
    member: str
    label: str
    call: Callable[[World], Any]
    expected: Raises | Returns

    @property
    def id(self):
        return f"{self.owner}.{self.member}[{self.label}]"


ROWS: list[Row] = []


def row(owner, member, label, call, expected):
    ROWS.append(Row(owner, member, label, call, expected))


def short_repr(value):
    return repr(value[:40]) if isinstance(value, (bytes, str)) else repr(value)


def each(owner, member, values, call, expected, label=short_repr):
    """One row per value: call(world, value)."""
    for value in values:
        row(owner, member, label(value)[:40], lambda w, v=value: call(w, v), expected)


def bitmap(*members):
    return lambda w: w.ext.Bitmap(np.array(members, dtype=np.uint64))


def uninitialised(class_name):
    """An instance whose __init__ never ran: every member must refuse it."""
    return lambda w: getattr(w.ext, class_name).__new__(getattr(w.ext, class_name))


DEFAULT = object()


def new_store(w, log_size=LOG_SIZE, path=DEFAULT, port=DEFAULT):
    store = w.ext.JSONStore(log_size, os.path.join(w.tmp, "other") if path is DEFAULT else path,
                            free_port() if port is DEFAULT else port)
    del store  # only reached when construction wrongly succeeded
    gc.collect()


# JSONStore -------------------------------------------------------------------------------

S = "JSONStore"
each(S, "__init__", [-1, 2**64, 1.5, None, "1"], lambda w, v: new_store(w, log_size=v), raises(TypeError))
each(S, "__init__", [0, LOG_SIZE + 1, 160 * 2**20], lambda w, v: new_store(w, log_size=v), raises(ValueError))
# Far more memory than the machine has, in sizes the page arithmetic could wrap.
each(S, "__init__", [2**40, 2**57 + LOG_SIZE, 2**63, U64_MAX - U64_MAX % 2**25],
     lambda w, v: new_store(w, log_size=v), raises(MemoryError, ValueError))
each(S, "__init__", NOT_TEXT, lambda w, v: new_store(w, path=v), raises(TypeError))
each(S, "__init__", ["", "/proc/no/such/parent/store"], lambda w, v: new_store(w, path=v), raises(RuntimeError))
# Messages quote the path: with bytes that are not UTF-8 they must still be readable.
row(S, "__init__", "missing parent, not UTF-8", lambda w: new_store(w, path=b"/proc/no/such/\xff/store"),
    raises(RuntimeError, match="\\xff"))
row(S, "__init__", "path with NUL", lambda w: new_store(w, path=os.path.join(w.tmp, "a\0b")), raises(ValueError))
row(S, "__init__", "path is a file", lambda w: new_store(w, path=os.path.join(w.path, "LOCK")),
    raises(RuntimeError))
row(S, "__init__", "directory in use", lambda w: new_store(w, path=w.path), raises(RuntimeError, match="in use"))
each(S, "__init__", [-1, 2**32, None, "5555", 1.5], lambda w, v: new_store(w, port=v), raises(TypeError))
each(S, "__init__", [65536, 2**32 - 1], lambda w, v: new_store(w, port=v), raises(ValueError, match="port"))
row(S, "__init__", "keyword", lambda w: w.ext.JSONStore(LOG_SIZE, w.tmp, port=5), raises(TypeError))
row(S, "__init__", "no arguments", lambda w: w.ext.JSONStore(), raises(TypeError))

row(S, "end_address", "assigned", lambda w: setattr(w.store, "end_address", 64), raises(AttributeError))
row(S, "end_address", "deleted", lambda w: delattr(w.store, "end_address"), raises(AttributeError))
row(S, "end_address", "uninitialised", lambda w: uninitialised(S)(w).end_address, raises(TypeError))
row(S, "snapshot", "argument", lambda w: w.store.snapshot(1), raises(TypeError))
row(S, "snapshot", "uninitialised", lambda w: uninitialised(S)(w).snapshot(), raises(TypeError))

UNKNOWN_TOKEN = "00000000-0000-0000-0000-000000000001"
for token in [None, "", "x", b"\xff\xfe", "\ud800", 1, "0" * 40, "{%s}" % UNKNOWN_TOKEN]:
    row(S, "recover", f"token {token!r}"[:40], lambda w, t=token: w.store.recover(t, t, None),
        raises(ValueError, RuntimeError))
row(S, "recover", "unknown tokens", lambda w: w.store.recover(UNKNOWN_TOKEN, UNKNOWN_TOKEN, None),
    raises(RuntimeError))


class Unprintable:
    def __str__(self):
        raise KeyError("no text")


row(S, "recover", "str() raises", lambda w: w.store.recover(Unprintable(), UNKNOWN_TOKEN, None), raises(KeyError))
each(S, "recover", [v for v in NOT_U64 if v is not None],
     lambda w, v: w.store.recover(UNKNOWN_TOKEN, UNKNOWN_TOKEN, v), raises(TypeError))
each(S, "recover", [2**63, 10**6], lambda w, v: w.store.recover(UNKNOWN_TOKEN, UNKNOWN_TOKEN, v), raises(ValueError))
row(S, "recover", "store holds records", lambda w: w.store.recover(*tokens_of(w.store.snapshot()), 1),
    raises(RuntimeError, match="already ingested"))
row(S, "recover", "two arguments", lambda w: w.store.recover(UNKNOWN_TOKEN, UNKNOWN_TOKEN), raises(TypeError))


def tokens_of(snapshot):
    return snapshot["index"]["token"], snapshot["log"]["token"]


each(S, "run", NOT_U64, lambda w, v: w.store.run(v), raises(TypeError))
each(S, "run", [2**63, U64_MAX, 10**6], lambda w, v: w.store.run(v), raises(ValueError))


def run_twice(w):
    w.store.run(1)
    try:
        w.store.run(1)
    finally:
        w.store.stop()


def run_on_bad_address(w, host):
    w.store.set_listen_address(host)
    try:
        w.store.run(1)
    finally:
        w.store.stop()
        w.store.set_listen_address("127.0.0.1")
        assert not w.store.is_running()


row(S, "run", "already running", run_twice, raises(RuntimeError, match="already running"))
each(S, "set_listen_address", ["", "no such host", "127.0.0.1:1", "::1]"], run_on_bad_address, raises(RuntimeError))
each(S, "set_listen_address", NOT_TEXT, lambda w, v: w.store.set_listen_address(v), raises(TypeError))
row(S, "set_listen_address", "NUL before another port",
    lambda w: w.store.set_listen_address("127.0.0.1:%d\0" % free_port()), raises(ValueError, match="NUL"))
row(S, "stop", "argument", lambda w: w.store.stop(True), raises(TypeError))
each(S, "set_max_message_size", [None, "1", 1.5, 2**63], lambda w, v: w.store.set_max_message_size(v),
     raises(TypeError))
row(S, "set_max_message_size", "below -1", lambda w: w.store.set_max_message_size(-2), raises(ValueError))
row(S, "port", "assigned", lambda w: setattr(w.store, "port", 1), raises(AttributeError))
row(S, "port", "uninitialised", lambda w: uninitialised(S)(w).port, raises(TypeError))
# A refused key changes nothing: the store keeps serving without CURVE.
GOOD_KEY = zmq.curve_keypair()[1].decode()
for key in ["", "short", " " * 40, GOOD_KEY[:39] + "\0", GOOD_KEY + "a"]:
    row(S, "enable_curve", f"server key {key!r}"[:40], lambda w, k=key: w.store.enable_curve(k, []),
        raises(ValueError, match="Z85"))
    row(S, "enable_curve", f"client key {key!r}"[:40], lambda w, k=key: w.store.enable_curve(GOOD_KEY, [GOOD_KEY, k]),
        raises(ValueError, match="Z85"))
each(S, "enable_curve", [None, 1, [None]], lambda w, v: w.store.enable_curve(GOOD_KEY, v), raises(TypeError))
row(S, "enable_curve", "uninitialised", lambda w: uninitialised(S)(w).enable_curve(GOOD_KEY, []), raises(TypeError))
row(S, "stats", "argument", lambda w: w.store.stats(0), raises(TypeError))
row(S, "read_statistics", "argument", lambda w: w.store.read_statistics(0), raises(TypeError))
row(S, "read_statistics", "uninitialised", lambda w: uninitialised(S)(w).read_statistics(), raises(TypeError))

# load inserts as save does, without the pause: the same refusals.
for member in ("save", "load"):
    def insert(w, v, member=member):
        return getattr(w.store, member)(v)

    each(S, member, NOT_TEXT + [[]], insert, raises(TypeError))
    each(S, member, INVALID_JSON, insert, raises(ValueError))
    each(S, member, [v.decode("latin-1") for v in INVALID_JSON[:6]], insert, raises(ValueError))
    each(S, member, PROJECTED_NUMBERS_BEYOND_DOUBLE, lambda w, v, f=insert: f(w, b'{"k": "x"}\n' + v),
         raises(ValueError, match="byte 11"))
    # The engine's own refusal of a projected object, array or null keeps its message.
    each(S, member, [b'{"k": {}}', b'{"k": []}', b'{"k": null}'], insert, raises(RuntimeError, match="scalar"))
    each(S, member, [b"", "", bytearray()], insert, returns(0))
    row(S, member, "keyword", lambda w, member=member: getattr(w.store, member)(data=b"{}"), raises(TypeError))
    row(S, member, "uninitialised", lambda w, member=member: getattr(uninitialised(S)(w), member)(b"{}"),
        raises(TypeError))

for member in ("projection", "create_new_projection"):
    each(S, member, NOT_TEXT, lambda w, v, m=member: getattr(w.store, m)(v), raises(TypeError))
    each(S, member, ["", b"", "k", "k/", "/a~2", "/a~", "/a\0b", b"/\xff"],
         lambda w, v, m=member: getattr(w.store, m)(v), raises(ValueError))
each(S, "query", [(None, "b"), ("a", 1), (b"a",)], lambda w, v: w.store.query(*v), raises(TypeError))
each(S, "query", [("", ""), ("\x00", b"\xff")], lambda w, v: w.store.query(*v), returns(0))
for member in ("is_running", "lock_data_ingestion", "unlock_data_ingestion", "is_locked", "get_all_projections",
               "delete_all_projections"):
    row(S, member, "argument", lambda w, m=member: getattr(w.store, m)(None), raises(TypeError))
    row(S, member, "uninitialised", lambda w, m=member: getattr(uninitialised(S)(w), m)(), raises(TypeError))
each(S, "projection_exits", NOT_TEXT, lambda w, v: w.store.projection_exits(v), raises(TypeError))
each(S, "projection_exits", ["", b"\xff", "/k\0"], lambda w, v: w.store.projection_exits(v), returns(False))
each(S, "delete_projection", NOT_TEXT, lambda w, v: w.store.delete_projection(v), raises(TypeError))
each(S, "delete_projection", ["", b"\xff", "/nope", "/k\0"], lambda w, v: w.store.delete_projection(v), returns(None))


def scan(name="/k", operation="EQ", operands=("x",), start=None, end=None):
    def call(w):
        op = getattr(w.ext.ScanOperation, operation) if isinstance(operation, str) else operation(w)
        return w.store.scan(name, op, list(operands) if isinstance(operands, tuple) else operands, start, end)

    return call


for name in (NOT_TEXT):
    row(S, "scan", f"name {name!r}"[:40], scan(name=name), raises(TypeError))
row(S, "scan", "operation as int", scan(operation=lambda w: 0), raises(TypeError))
row(S, "scan", "operation None", scan(operation=lambda w: None), raises(TypeError))
row(S, "scan", "operation 42", scan(operation=lambda w: w.ext.ScanOperation(42)), raises(IndexError, ValueError))
row(S, "scan", "operation -1", scan(operation=lambda w: w.ext.ScanOperation(-1)), raises(TypeError, ValueError,
                                                                                          IndexError))
for operation in ("DEF", "BTW"):
    row(S, "scan", operation, scan(operation=operation), raises(IndexError))
for operands in ("x", b"x", None, 5, [None], [[1]], [object()], ["\ud800"], [2**64], [-(2**63) - 1]):
    row(S, "scan", f"operands {operands!r}"[:40], scan(operands=operands), raises(TypeError))
for operation in ("EQ", "NE", "LT", "LE", "GT", "GE"):
    for name in ("/k", "/n"):
        row(S, "scan", f"{operation} {name} no operands", scan(name=name, operation=operation, operands=[]),
            raises(ValueError))
for start, end in [(-1, None), (None, -1), (2**64, None), (None, 2**64), ("0", None), (0.0, None)]:
    row(S, "scan", f"range {start!r}, {end!r}", scan(start=start, end=end), raises(TypeError))
for name in ("", "k", "/a~2", b"/\xff", "/a\nb"):
    row(S, "scan", f"name {name!r}", scan(name=name, operation="NE", operands=[1]), raises(ValueError, RuntimeError))
row(S, "scan", "missing range", lambda w: w.store.scan("/k", w.ext.ScanOperation.EQ, ["x"]), raises(TypeError))
returns_empty = Returns(lambda b: len(b) == 0, "an empty Bitmap")
row(S, "scan", "reversed range", scan(start=2**40, end=64), returns_empty)
row(S, "scan", "NaN operand", scan(name="/f", operation="EQ", operands=[float("nan")]), returns_empty)

# extract_arrow builds the same table as extract: the same refusals.
for member in ("extract", "extract_arrow"):
    def extract(w, extractor, records, member=member):
        return getattr(w.store, member)(extractor, records)

    row(S, member, "None extractor", lambda w, f=extract: f(w, None, w.records), raises(TypeError))
    row(S, member, "None bitmap", lambda w, f=extract: f(w, w.columns, None), raises(TypeError))
    row(S, member, "swapped", lambda w, f=extract: f(w, w.records, w.columns), raises(TypeError))
    row(S, member, "list of addresses", lambda w, f=extract: f(w, w.columns, list(w.records)), raises(TypeError))
    row(S, member, "uninitialised", lambda w, member=member: getattr(uninitialised(S)(w), member)(w.columns, w.records),
        raises(TypeError))
    for label, members in [("zero", (0,)), ("reserved start", (8,)), ("unaligned", (65,)),
                           ("past the tail", (2**40,)), ("top", (U64_MAX,)), ("inside a record", None)]:
        def bad_addresses(w, members=members, f=extract):
            if members is None:  # the second word of the first record: a key pointer, not a header
                members = (w.records.first() + 8,)
            return f(w, w.columns, w.records | w.ext.Bitmap(np.array(members, dtype=np.uint64)))

        row(S, member, label, bad_addresses, raises(RuntimeError, match="Cannot read the record"))

    def huge_address_range(w, f=extract):
        addresses = w.records.copy()
        addresses.set(2**40, 2**40 + 2**36)  # 64 G addresses: none may be reserved up front
        return f(w, w.columns, addresses)

    row(S, member, "huge bitmap", huge_address_range, raises(RuntimeError, match="Cannot read the record"))
    row(S, member, "column extractor", lambda w, f=extract: f(w, w.ext.Extractor.Raw("/k"), w.records),
        raises(RuntimeError, ValueError))
    for field in ("", "k"):
        row(S, member, f"field {field!r}",
            lambda w, field=field, f=extract: f(w, w.ext.Extractor.record([("c", w.ext.Extractor.Raw(field))]),
                                                w.records),
            raises(RuntimeError, ValueError))
row(S, "extract", "empty bitmap", lambda w: w.store.extract(w.columns, w.ext.Bitmap()), returns(None))
row(S, "extract_arrow", "empty bitmap", lambda w: w.store.extract_arrow(w.columns, w.ext.Bitmap()),
    Returns(lambda table: table.num_rows == 0 and table.column_names, "a table with columns and no rows"))
row(S, "extract", "object field", lambda w: w.store.extract(
    w.ext.Extractor.record([("c", w.ext.Extractor.Int("/k", True, 8, None, None, None))]), w.records),
    Returns(lambda table: isinstance(table, str), "a table of nulls"))
row(S, "extract_arrow", "object field", lambda w: w.store.extract_arrow(
    w.ext.Extractor.record([("c", w.ext.Extractor.Int("/k", True, 8, None, None, None))]), w.records),
    Returns(lambda table: table.num_rows > 0, "a table of nulls"))

# Bitmap ----------------------------------------------------------------------------------

B = "Bitmap"
each(B, "__init__", [[-1], np.array([-5, 1]), np.array([-1.0]), np.array([1.5]), np.array([math.nan]),
                     np.zeros((2, 2), np.uint64), np.uint64(5), 5],
     lambda w, v: w.ext.Bitmap(v), raises(ValueError, TypeError), label=lambda v: repr(v).replace("\n", ""))
each(B, "__init__", [["a"], [None], [2**64], "abc", b"\x01", object(), [[1, 2], [3]]],
     lambda w, v: w.ext.Bitmap(v), raises(TypeError, ValueError))
each(B, "__init__", [[], np.array([], np.uint64), None], lambda w, v: len(w.ext.Bitmap(v)), returns(0))
row(B, "__init__", "keyword typo", lambda w: w.ext.Bitmap(index=[1]), raises(TypeError))

NO_ARGUMENT_MEMBERS = ["copy", "cardinality", "__len__", "empty", "first", "last", "in_memory_size", "__iter__",
                       "index_array"]
for member in NO_ARGUMENT_MEMBERS:
    row(B, member, "argument", lambda w, m=member: getattr(bitmap(1, 2)(w), m)(object()), raises(TypeError))
    row(B, member, "uninitialised", lambda w, m=member: getattr(uninitialised(B)(w), m)(), raises(TypeError))

POSITION_MEMBERS = ["lower_cardinality", "upper_cardinality", "nth", "self_or_next", "self_or_previous", "contains",
                    "__contains__"]
for member in POSITION_MEMBERS:
    each(B, member, NOT_U64, lambda w, v, m=member: getattr(bitmap(1, 2)(w), m)(v), raises(TypeError))
row(B, "__contains__", "operator", lambda w: -1 in bitmap(1)(w), raises(TypeError))
each(B, "nth", [2, 2**63, U64_MAX], lambda w, v: bitmap(1, 2)(w).nth(v), raises(RuntimeError, match="ordinal"))
row(B, "nth", "empty", lambda w: w.ext.Bitmap().nth(0), raises(RuntimeError, match="ordinal"))

for member in ("all", "any", "slice", "contract", "expand"):
    for bad in NOT_U64[:6]:
        row(B, member, f"first {bad!r}", lambda w, m=member, v=bad: getattr(bitmap(1)(w), m)(v, 1), raises(TypeError))
        row(B, member, f"second {bad!r}", lambda w, m=member, v=bad: getattr(bitmap(1)(w), m)(1, v), raises(TypeError))
    row(B, member, "one argument", lambda w, m=member: getattr(bitmap(1)(w), m)(1), raises(TypeError))
row(B, "slice", "reversed buckets", lambda w: bitmap(1)(w).slice(2**32, 5), raises(RuntimeError, match="Invalid range"))
row(B, "expand", "past 2^64 - 1", lambda w: bitmap(5, 2**63)(w).expand(0, 2**63), raises(ValueError, match="Range"))
row(B, "expand", "top member", lambda w: bitmap(U64_MAX)(w).expand(U64_MAX, 1), raises(ValueError, match="Range"))
row(B, "contract", "below zero", lambda w: bitmap(2**32 + 1)(w).contract(2**32 + 1, 2**33),
    raises(ValueError, match="Range"))

for member in ("set", "unset", "flip"):
    each(B, member, NOT_U64, lambda w, v, m=member: getattr(bitmap(1)(w), m)(v), raises(TypeError))
    each(B, member, NOT_U64[:6], lambda w, v, m=member: getattr(bitmap(1)(w), m)(0, v), raises(TypeError))
# Ranges whose members could never fit in memory: refused before anything is allocated.
for member in ("set", "flip"):
    for start, end in [(0, 2**63), (0, U64_MAX), (2**62, 2**63)]:
        row(B, member, f"range [{start}, {end})", lambda w, m=member, s=start, e=end: getattr(w.ext.Bitmap(), m)(s, e),
            raises(MemoryError))
row(B, "unset", "huge range", lambda w: bitmap(1, 2**40)(w).unset(0, U64_MAX), returns(None))
row(B, "flip", "reversed range", lambda w: bitmap(1)(w).flip(5, 5), raises(RuntimeError, match="Invalid range"))

for member in ("union", "intersect", "difference", "symmetric_difference", "inplace_union", "inplace_intersect",
               "inplace_difference", "inplace_symmetric_difference", "subset_of", "strict_subset_of"):
    each(B, member, [None, {1}, [1], np.array([1], np.uint64), 1], lambda w, v, m=member: getattr(bitmap(1)(w), m)(v),
         raises(TypeError))
    row(B, member, "uninitialised other", lambda w, m=member: getattr(bitmap(1)(w), m)(uninitialised(B)(w)),
        raises(TypeError))
for member, apply in [("__or__", lambda a, b: a | b), ("__and__", lambda a, b: a & b), ("__sub__", lambda a, b: a - b),
                      ("__xor__", lambda a, b: a ^ b)]:
    each(B, member, [None, {1}, 1], lambda w, v, f=apply: f(bitmap(1)(w), v), raises(TypeError))


def augmented(operator):
    def call(w, value):
        target = bitmap(1)(w)
        exec(f"target {operator}= value", {}, {"target": target, "value": value})

    return call


for member, operator in [("__ior__", "|"), ("__iand__", "&"), ("__isub__", "-"), ("__ixor__", "^")]:
    each(B, member, [None, {1}, 1], augmented(operator), raises(TypeError))
each(B, "__eq__", [None, 1, {1}], lambda w, v: bitmap(1)(w) == v, returns(False))
row(B, "__eq__", "uninitialised", lambda w: bitmap(1)(w) == uninitialised(B)(w), raises(TypeError))

each(B, "read", [None, "text", 1, [1, 2], object()], lambda w, v: w.ext.Bitmap.read(v), raises(TypeError))
each(B, "read", [b"", b"\x00", b"\xff" * 8, b"\x01" + b"\x00" * 7, b"\x01" + b"\x00" * 7 + b"\x00" * 12,
                 b"\x01" + b"\x00" * 11 + b"\xff" * 8 + b"junk", b"\xff" * 64],
     lambda w, v: w.ext.Bitmap.read(v), raises(ValueError, RuntimeError))
row(B, "read", "truncated image", lambda w: w.ext.Bitmap.read(written(bitmap(1, 2**40)(w))[:-3]),
    raises(ValueError, RuntimeError))
row(B, "read", "native image read as portable",
    lambda w: w.ext.Bitmap.read(written(bitmap(*range(0, 5000, 3))(w), portable=False), True),
    raises(ValueError, RuntimeError))
row(B, "read", "items of four bytes", lambda w: w.ext.Bitmap.read(np.zeros(8, np.int32)),
    raises(RuntimeError, match="Item size"))
row(B, "read", "portable None", lambda w: w.ext.Bitmap.read(written(bitmap(1)(w)), "yes"), raises(TypeError))


def written(bitmap_object, portable=True):
    buffer = bytearray(bitmap_object.persisted_size(portable))
    bitmap_object.write(buffer, portable)
    return bytes(buffer)


each(B, "write", [None, "text", 1, object()], lambda w, v: bitmap(1)(w).write(v), raises(TypeError))
row(B, "write", "read-only buffer", lambda w: bitmap(1)(w).write(bytes(64)), raises(BufferError))
each(B, "write", [0, 1, 19], lambda w, v: bitmap(1, 2**40)(w).write(bytearray(v)), raises(ValueError))
row(B, "write", "items of four bytes", lambda w: bitmap(1)(w).write(np.zeros(64, np.int32)),
    raises(RuntimeError, match="Item size"))
row(B, "write", "strided view", lambda w: bitmap(1)(w).write(memoryview(bytearray(256))[::2]), raises(ValueError))
for member in ("persisted_size", "bool_array"):
    each(B, member, ["x", [1], object()], lambda w, v, m=member: getattr(bitmap(1)(w), m)(v), raises(TypeError))
row(B, "bool_array", "span beyond memory", lambda w: bitmap(0, 2**40)(w).bool_array(), raises(MemoryError))
row(B, "bool_array", "span beyond an array", lambda w: bitmap(0, 2**63)(w).bool_array(), raises(ValueError))
row(B, "index_array", "members beyond memory", lambda w: huge_bitmap(w).index_array(), raises(MemoryError))


def huge_bitmap(w):
    members = w.ext.Bitmap()
    members.set(0, 2**38)
    return members


row(B, "Chunks", "constructed", lambda w: w.ext.Bitmap.Chunks(), raises(TypeError))
row(B, "Chunks", "next without bitmap", lambda w: w.ext.Bitmap.Chunks.__next__(None), raises(TypeError))
row(B, "__init__", "uninitialised self", lambda w: w.ext.Bitmap.__init__(bitmap(1)(w), [1]), returns(None))

# Extractor -------------------------------------------------------------------------------

X = "Extractor"
FIELD_FACTORIES = {
    "Raw": lambda E, f: E.Raw(f),
    "Bool": lambda E, f: E.Bool(f),
    "String": lambda E, f: E.String(f, None),
    "Int": lambda E, f: E.Int(f, True, 64, None, None, None),
    "Float": lambda E, f: E.Float(f, 64, None, None, None),
    "Timestamp": lambda E, f: E.Timestamp(f, "ms", None, None, None, None),
    "Time": lambda E, f: E.Time(f, "ms", None, None, None),
    "Date": lambda E, f: E.Date(f, "d", None, None, None),
    "Duration": lambda E, f: E.Duration(f, "ms", None, None, None),
}
for member, make in FIELD_FACTORIES.items():
    each(X, member, NOT_TEXT, lambda w, v, m=make: m(w.ext.Extractor, v), raises(TypeError))
    row(X, member, "no arguments", lambda w, m=member: getattr(w.ext.Extractor, m)(), raises(TypeError))
each(X, "String", [1, "\ud800", [b"C"]], lambda w, v: w.ext.Extractor.String("/a", v), raises(TypeError))
each(X, "Int", [-8, 0, 7, 128, 2**31 - 1], lambda w, v: w.ext.Extractor.Int("/a", True, v, None, None, None),
     raises(RuntimeError, match="width"))
each(X, "Int", [2**31, 2**63, None, 8.0, "8"], lambda w, v: w.ext.Extractor.Int("/a", True, v, None, None, None),
     raises(TypeError))
each(X, "Int", [2**63, -(2**63) - 1, 1.5, "1"], lambda w, v: w.ext.Extractor.Int("/a", True, 64, v, None, None),
     raises(TypeError))
each(X, "Int", [128, -129], lambda w, v: w.ext.Extractor.Int("/a", True, 8, v, None, None),
     raises(RuntimeError, match="Default value"))
each(X, "Int", ["yes", [1]], lambda w, v: w.ext.Extractor.Int("/a", v, 8, None, None, None), raises(TypeError))
each(X, "Float", [-1, 0, 16, 2**31 - 1], lambda w, v: w.ext.Extractor.Float("/a", v, None, None, None),
     raises(RuntimeError, match="width"))
each(X, "Float", [2**31, None, "64"], lambda w, v: w.ext.Extractor.Float("/a", v, None, None, None), raises(TypeError))
each(X, "Float", ["1.5", [1.0]], lambda w, v: w.ext.Extractor.Float("/a", 64, v, None, None), raises(TypeError))
each(X, "Float", ["xx_NOWHERE.UTF-8", "C\0"], lambda w, v: w.ext.Extractor.Float("/a", 64, None, None, v),
     raises(RuntimeError))
TEMPORAL = {
    "Timestamp": lambda E, resolution, default: E.Timestamp("/a", resolution, None, default, None, None),
    "Time": lambda E, resolution, default: E.Time("/a", resolution, default, None, None),
    "Date": lambda E, resolution, default: E.Date("/a", resolution, default, None, None),
    "Duration": lambda E, resolution, default: E.Duration("/a", resolution, default, None, None),
}
for member, make in TEMPORAL.items():
    each(X, member, ["", "min", "D", "ms\0", b"\xff"], lambda w, v, m=make: m(w.ext.Extractor, v, None),
         raises(RuntimeError, match="resolution"))
    each(X, member, [None, 1, "\ud800"], lambda w, v, m=make: m(w.ext.Extractor, v, None), raises(TypeError))
    resolution = "d" if member == "Date" else "ms"
    each(X, member, [1, "\ud800"], lambda w, v, m=make, r=resolution: m(w.ext.Extractor, r, v), raises(TypeError))
    # A default text is parsed when a column is built: the extraction fails, clearly.
    each(X, member, ["", "not a value", "\xff\xfe", "\0"],
         lambda w, v, m=make, r=resolution: w.store.extract(
             w.ext.Extractor.record([("c", m(w.ext.Extractor, r, v))]), w.records),
         raises(RuntimeError, ValueError))
each(X, "record", [None, "ab", 1, [("a",)], [("a", None)], [(None, None)], [(1, None)], [["a", "b"]], [object()]],
     lambda w, v: w.ext.Extractor.record(v), raises(TypeError, RuntimeError))
row(X, "record", "nested record", lambda w: w.ext.Extractor.record([("a", w.columns)]),
    raises(RuntimeError, match="cannot be a column"))
row(X, "record", "uninitialised column",
    lambda w: w.ext.Extractor.record([("a", uninitialised(X)(w))]), raises(TypeError, RuntimeError))
row(X, "type", "assigned", lambda w: setattr(w.columns, "type", w.ext.ExtractorType.Raw), raises(AttributeError))
row(X, "type", "uninitialised", lambda w: uninitialised(X)(w).type, raises(TypeError))
row(X, "__init__", "direct construction", lambda w: w.ext.Extractor(), raises(TypeError))

# Module functions ------------------------------------------------------------------------

M = "module"
each(M, "try_me", [None, 1, "scan", object()], lambda w, v: w.ext.try_me(v), raises(TypeError))
row(M, "try_me", "abstract scan", lambda w: w.ext.try_me(w.ext.DynamicScan()), raises(RuntimeError, match="pure virtual"))
for function in ("generate_test_arrow_as_b64_string", "simdjson_version", "simdjson_threaded",
                 "simdjson_active_runtime", "zmq_version"):
    row(M, function, "argument", lambda w, f=function: getattr(w.ext, f)(None), raises(TypeError))
each(M, "set_log_level", ["", "warn", "DEBUG", "verbose", "debug\0", "info "], lambda w, v: w.ext.set_log_level(v),
     raises(ValueError, match="Unknown log level"))
each(M, "set_log_level", [None, 1, 2.5, ["debug"], "\ud800"], lambda w, v: w.ext.set_log_level(v), raises(TypeError))
each(M, "set_scan_listing", ["yes", b"no", object(), [True]], lambda w, v: w.ext.set_scan_listing(v),
     raises(TypeError))


# ---- the tests -------------------------------------------------------------------------


def run_row(world, entry: Row):
    expected = entry.expected
    if isinstance(expected, Returns):
        result = entry.call(world)
        assert expected.check(result), f"{entry.id} returned {result!r}, expected {expected.description}"
        return
    try:
        result = entry.call(world)
    except expected.types as error:
        assert not isinstance(error, SystemError), entry.id
        assert str(error) or isinstance(error, (KeyError, MemoryError)), f"{entry.id} raised without a message"
        if expected.match is not None:
            assert expected.match in str(error), f"{entry.id}: {error!r}"
        return
    except Exception as error:  # noqa: BLE001 - report what the call raised instead
        pytest.fail(f"{entry.id} raised {type(error).__name__}: {error}, expected {expected.types}")
    pytest.fail(f"{entry.id} returned {result!r}, expected {expected.types}")


def public_members(cls):
    """Names a caller can reach: everything without a leading underscore, and the
    special methods the class itself defines (operators, __init__, __iter__, ...)."""
    inherited = {"__doc__", "__module__", "__dict__", "__weakref__", "__hash__", "__new__"}
    names = {name for name in dir(cls) if not name.startswith("_")}
    names |= {name for name in vars(cls) if name.startswith("__") and name not in inherited}
    return {name for name in names if not name.startswith("_pybind11")}


def test_every_public_member_has_bad_input_rows(ext):
    covered = {(entry.owner, entry.member) for entry in ROWS}
    missing = []
    for owner in ("JSONStore", "Bitmap", "Extractor"):
        missing += [f"{owner}.{name}" for name in sorted(public_members(getattr(ext, owner)))
                    if (owner, name) not in covered]
    functions = [name for name in dir(ext) if isinstance(getattr(ext, name), types.BuiltinFunctionType)]
    missing += [f"module.{name}" for name in sorted(functions) if ("module", name) not in covered]
    assert not missing, f"members without bad-input rows: {missing}"


@pytest.mark.parametrize("entry", ROWS, ids=[entry.id for entry in ROWS])
def test_bad_input_gets_a_clear_error(world, entry):
    run_row(world, entry)


@pytest.mark.parametrize("owner", ["JSONStore", "Bitmap", "Extractor", "module"])
def test_store_answers_the_same_after_bad_calls(world, owner):
    before = answers(world)
    for entry in ROWS:
        if entry.owner == owner:
            run_row(world, entry)
    assert answers(world) == before


def test_numbers_beyond_double_range_in_projected_fields_are_bad_data(ext, tmp_path):
    """A projected number no 64-bit type can hold is bad data, from Python and over
    ZeroMQ alike; the batch it is in goes in not at all, and the same number in a field
    no projection reads is stored as it is."""
    store, port = make_store(ext, tmp_path / "store")
    store.projection("/k")
    assert store.save(b'{"k": 1}') == 1
    before = (store.stats(), store.end_address)
    for number in (b"1e400", b"-1e400", b"1" + b"0" * 400, b"-1" + b"0" * 400, b"1.5e999999"):
        batch = b'{"k": 2}\n{"k": ' + number + b"}"
        with pytest.raises(ValueError, match="byte 9"):
            store.save(batch)
        assert (store.stats(), store.end_address) == before
    store.run(1)
    with client(port) as requests:
        reply = request(requests, b'{"k": 2}\n{"k": 1e400}', b"t1")
        assert reply[:2] == [b"ERR_BAD_DATA", b"t1"] and b"byte 9" in reply[2], reply
        assert request(requests, b'{"k": 3}', b"t2") == [b"OK", b"t2"]
        assert request(requests, b'{"other": 1e400, "k": 4}', b"t3") == [b"OK", b"t3"]
    store.stop()
    assert store.stats()[1] == 3  # 1 saved, 2 sent; no record of a refused batch
    found = store.scan("/k", ext.ScanOperation.IN, [1, 3, 4], None, None)
    assert len(found) == 3
    table = store.extract(ext.Extractor.record([("k", ext.Extractor.Raw("/k"))]), found)
    assert table is not None


def test_members_called_unbound_refuse_a_self_that_is_not_theirs(ext):
    """`Bitmap.cardinality(None)` and the like: a member called through its class with
    None or a stranger as the object raises TypeError and never runs."""
    for owner in (ext.JSONStore, ext.Bitmap, ext.Bitmap.Chunks, ext.Extractor, ext.DynamicScan, ext.ArrowTable):
        for name, member in vars(owner).items():
            if name in ("__new__", "__init__", "__doc__", "__module__") or name.startswith("_pybind11"):
                continue
            call = member.fget if isinstance(member, property) else getattr(owner, name)
            if not callable(call):
                continue
            for stranger in (None, 1, object()):
                try:
                    result = call(stranger)
                except TypeError:
                    continue
                # Operators answer NotImplemented, so that Python tries the other operand.
                assert result is NotImplemented, f"{owner.__name__}.{name}({stranger!r}) returned {result!r}"


def test_bad_batches_among_good_ones_from_many_writers_insert_exactly_the_good_ones(ext, tmp_path):
    """Refused batches, direct and over ZeroMQ, interleaved with accepted ones from
    several writers at once: every good record is stored once, nothing of a bad batch
    is, and each writer hears the right answer."""
    store, port = make_store(ext, tmp_path / "store")
    store.projection("/k")
    store.run(2)
    bad_batches = [b'{"k": 1}\n{"k": 1e400}', b'{"k": 1}\n{"k": {}}', b'{"k": 1}\n{"k": ', b'{"k": "\xff"}']

    def good_batch(writer, serial):
        return b'{"k": "w%d", "n": %d}\n{"k": "w%d", "n": %d}' % (writer, serial, writer, serial)

    def remote_writer(writer, answers):
        with client(port) as requests:
            for serial in range(60):
                if serial % 3 == 2:
                    answers.append(request(requests, bad_batches[serial % 4], b"bad")[0])
                else:
                    answers.append(request(requests, good_batch(writer, serial), b"good")[0])

    def direct_writer(writer, answers):
        for serial in range(4):
            answers.append(store.save(good_batch(writer, serial)))
            try:
                store.save(bad_batches[serial])
                answers.append("accepted")
            except (ValueError, RuntimeError):
                answers.append("refused")

    results = {writer: [] for writer in range(4)}
    threads = [threading.Thread(target=remote_writer if writer < 3 else direct_writer, args=(writer, results[writer]))
               for writer in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    store.stop()

    for writer in range(3):
        assert results[writer] == [b"ERR_BAD_DATA" if serial % 3 == 2 else b"OK" for serial in range(60)]
    assert results[3] == [2, "refused"] * 4
    expected = 3 * 40 * 2 + 4 * 2
    assert store.stats()[1] == expected
    for writer in range(4):
        found = store.scan("/k", ext.ScanOperation.EQ, ["w%d" % writer], None, None)
        assert len(found) == (40 * 2 if writer < 3 else 8)
    assert len(store.scan("/n", ext.ScanOperation.GE, [0], None, None)) == expected
