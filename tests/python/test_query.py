"""Queries and extraction through JSONStore, checked against a reference evaluation.

A few thousand generated records (every JSON scalar type, missing fields, strings with
escapes, integers and doubles at their limits) are saved partly before and partly after
projections exist. Every operation is run on projected and unprojected fields, with and
without bounds, and compared with a model of the comparison rules written here: values
of different types never compare equal or less, strings compare by the raw bytes of
their JSON text, integers and doubles do not mix. The same records are then spread over
a log several times larger than its memory, and the answers must not change.
"""
import base64
import json
import math
import os
import random
import threading
import time

import numpy as np
import pyarrow as pa
import pytest

import quillmark
from store_helpers import LOG_SIZE, make_store, stdout_to

LAST_ADDRESS = (1 << 48) - 1
INT64_MIN, INT64_MAX = -(1 << 63), (1 << 63) - 1
DOUBLE_MAX = 1.7976931348623157e308
PROJECTED = ["/s", "/i", "/m"]
FIELDS = ["/s", "/i", "/f", "/b", "/m", "/o/k", "/big"]

STRINGS = ["", "a", "ab", "abc", "abd", "b", "say \"hi\"", "back\\slash", "line\nbreak", "tab\t",
           "ünïcödé", "日本", "\u0001ctl", "zz" * 40, "x"]
INTS = [0, 1, -1, 3, 7, 255, 256, -256, INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1, 1 << 32]
FLOATS = [0.0, -0.0, 3.0, 1.5, -2.25, 1e308, -1e308, 5e-324, 2.2250738585072014e-308, 1e-300, 123456.789]
# Beyond the 64-bit range they are empty values; beyond the double range too.
BIG_INTS = [1 << 63, (1 << 64) - 1, 1 << 64, -(1 << 63) - 1, 42, 10**400, -(10**400)]


# Model values: (type, payload) with types E(mpty), B(ool), I(nt64), D(ouble), S(tring bytes).

def model_of(value):
    if isinstance(value, bool):
        return ("B", value)
    if isinstance(value, int):
        return ("I", value) if INT64_MIN <= value <= INT64_MAX else ("E", None)
    if isinstance(value, float):
        return ("D", value)
    # The stored text of a string is its JSON encoding without the quotes, escapes kept.
    return ("S", json.dumps(value, ensure_ascii=False)[1:-1].encode())


def operand_model(operand):
    if isinstance(operand, bool) or isinstance(operand, int):
        return ("I", int(operand))  # True arrives as the integer 1
    if isinstance(operand, float):
        return ("D", operand)
    return ("S", operand.encode())


def equal(x, y):
    if x[0] != y[0]:
        return False
    return x[0] == "E" or x[1] == y[1]  # IEEE equality for doubles: -0.0 == 0.0


def less(v, a):
    if v[0] != a[0] or v[0] == "E":
        return False
    return v[1] < a[1]


def reference(op, value, operands):
    a = operands[0] if operands else None
    if op == "EQ":
        return equal(value, a)
    if op == "NE":
        return not equal(value, a)
    if op == "LT":
        return less(value, a)
    if op == "LE":
        return less(value, a) or equal(value, a)
    if op == "GT":
        return not (less(value, a) or equal(value, a))
    if op == "GE":
        return not less(value, a)
    if op == "IN":
        return any(equal(o, value) for o in operands)
    return not any(equal(o, value) for o in operands)


def field_value(document, pointer):
    node = document
    for part in pointer.strip("/").split("/"):
        if not isinstance(node, dict) or part not in node:
            return None
        node = node[part]
    return node


def generate_documents(count, seed):
    rng = random.Random(seed)
    pools = {"/s": STRINGS, "/i": INTS, "/f": FLOATS, "/b": [True, False], "/big": BIG_INTS,
             "/m": [3, 3.0, "3", True, False, 1, 1.0, "true", -0.0, 0]}
    documents = []
    for number in range(count):
        document = {"id": number}
        for pointer, pool in pools.items():
            if rng.random() < 0.85:  # some records lack the field
                document[pointer[1:]] = rng.choice(pool)
        if rng.random() < 0.7:
            document["o"] = {"k": rng.choice(STRINGS + INTS)}
        documents.append(document)
    return documents


def encode(document):
    text = json.dumps(document, ensure_ascii=False, separators=(",", ":"))
    # Member names are compared unescaped: every third record spells two keys with
    # escapes, which every reader must see through. Only keys are followed by ':'.
    if document.get("id", 1) % 3 == 0:
        text = text.replace('"s":', '"\\u0073":').replace('"k":', '"\\u006b":')
    return text


QUERIES = [
    ("/s", [["abc"], ["say \\\"hi\\\""], ["say \"hi\""], ["ünïcödé"], [""], ["zz" * 40], ["line\\nbreak"]]),
    ("/i", [[0], [INT64_MAX], [INT64_MIN], [-1], [3], [3.0], [True], [1 << 32]]),
    ("/f", [[0.0], [-0.0], [3.0], [3], [1e308], [5e-324], [1.5]]),
    ("/b", [[True], [False], [1], [0]]),
    ("/m", [[3], [3.0], ["3"], [True], [1], [1.0], ["true"], [0]]),
    ("/o/k", [["abc"], [7], ["b"]]),
    ("/big", [[42], [INT64_MAX]]),
]
SET_OPERANDS = [[], [1, "1"], [3, 3.0, "abc", True], ["abc", "abd", "b"], [0.0, INT64_MIN]]
OPS = ["EQ", "NE", "LT", "LE", "GT", "GE"]
FILLER_BYTES = 200_000  # 3000 of them: about 600 MB of log


class Model:
    """A store holding `documents` (and optionally filler records between them), with the
    log address of every document."""

    def __init__(self, ext, path, documents, split, filler=None):
        self.ext = ext
        self.documents = documents
        self.values = {f: [model_of(v) if (v := field_value(d, f)) is not None else None for d in documents]
                       for f in FIELDS}
        self.store, _ = make_store(ext, path)
        self.split = split
        self.insert(documents[:split], filler)
        for name in PROJECTED:
            self.store.projection(name)
        self.insert(documents[split:], filler)
        ids = self.scan("/id", "GE", [0])
        assert len(ids) == len(documents)
        self.addresses = list(ids)
        self.number_of = {address: n for n, address in enumerate(self.addresses)}

    def insert(self, documents, filler):
        step = 250 if filler is None else 100  # each save pauses for 100 ms
        for first in range(0, len(documents), step):
            lines = [encode(d) for d in documents[first:first + step]]
            if filler is not None:
                lines = [line for pair in zip(lines, [filler] * len(lines)) for line in pair]
            assert self.store.save("\n".join(lines)) == len(lines)

    def scan(self, name, op, operands, start=None, end=None):
        with stdout_to(os.devnull):
            return self.store.scan(name, getattr(self.ext.ScanOperation, op), operands, start, end)

    def numbers(self, bitmap):
        return [self.number_of[address] for address in bitmap]

    def expected(self, name, op, operands, first=0, last=None, indexed=False):
        last = len(self.documents) - 1 if last is None else last
        models = [operand_model(o) for o in operands]
        low = self.split if indexed else first
        return [n for n in range(max(low, first), last + 1)
                if (v := self.values[name][n]) is not None and reference(op, v, models)]

    def answers(self, queries=QUERIES, ops=OPS, bound_choices=(0, 1, 2, 3), set_operands=SET_OPERANDS,
                set_ops=("IN", "NI")):
        """Every query's answer as record numbers, each checked against the reference.
        EQ runs with every bound choice, the other comparisons with the first two."""
        results = {}
        third, two_thirds = len(self.documents) // 3, 2 * len(self.documents) // 3
        bounds = [(None, None, 0, None), (self.addresses[third], self.addresses[two_thirds], third, two_thirds),
                  (0, LAST_ADDRESS + 1, 0, None), (self.addresses[-1], (1 << 64) - 1, len(self.documents) - 1, None)]
        for name, operand_lists in queries:
            for operands in operand_lists:
                for op in ops:
                    for choice in bound_choices if op == "EQ" else [c for c in bound_choices if c < 2]:
                        start, end, first, last = bounds[choice]
                        got = self.numbers(self.scan(name, op, operands, start, end))
                        indexed = op == "EQ" and name in PROJECTED
                        want = self.expected(name, op, operands, first, last, indexed)
                        assert got == want, (name, op, operands, start, end)
                        results[(name, op, repr(operands), choice)] = got
            for operands in set_operands:
                for op in set_ops:
                    got = self.numbers(self.scan(name, op, operands))
                    assert got == self.expected(name, op, operands), (name, op, operands)
                    results[(name, op, repr(operands))] = got
        return results

    def extracted(self, bitmap):
        extractor = self.ext.Extractor.record([
            ("id", self.ext.Extractor.Int("/id", True, 64, None, None, None)),
            ("s", self.ext.Extractor.String("/s", None)),
            ("f", self.ext.Extractor.Float("/f", 64, None, None, None)),
            ("b", self.ext.Extractor.Bool("/b")),
            ("big", self.ext.Extractor.Int("/big", True, 64, 7, None, None)),
            ("k", self.ext.Extractor.String("/o/k", None)),
            ("big_text", self.ext.Extractor.String("/big", None)),
        ])
        encoded = self.store.extract(extractor, bitmap)
        return pa.ipc.open_stream(base64.b64decode(encoded)).read_all()

    def check_extraction(self):
        bitmap = self.scan("/s", "NE", ["abc"])
        table = self.extracted(bitmap)
        numbers = self.numbers(bitmap)
        assert table.num_rows == len(numbers) > 0
        assert table.column("id").to_pylist() == numbers  # one row per address, ascending
        for row, n in zip(table.to_pylist(), numbers):
            document = self.documents[n]
            assert row["s"] == document["s"]  # the column holds the decoded text
            if "f" in document:
                assert math.copysign(1, row["f"]) == math.copysign(1, document["f"]) and row["f"] == document["f"]
            if "b" in document:
                assert row["b"] == document["b"]
            # A number no double holds takes the column's default, or null without one,
            # where an empty value (missing, or an integer beyond 64 bits) gives 0, "null".
            big = document.get("big")
            if big is not None and abs(big) > DOUBLE_MAX:
                assert (row["big"], row["big_text"]) == (7, None)
            elif big is not None and INT64_MIN <= big <= INT64_MAX:
                assert (row["big"], row["big_text"]) == (big, str(big))
            else:
                assert (row["big"], row["big_text"]) == (0, "null")
            if isinstance(document.get("o", {}).get("k"), str):
                assert row["k"] == document["o"]["k"]
        assert self.store.extract(self.ext.Extractor.Raw("/id"), self.ext.Bitmap()) is None
        return table


@pytest.fixture(scope="module")
def documents():
    return generate_documents(3000, seed=8)


@pytest.fixture(scope="module")
def in_memory(ext, tmp_path_factory, documents):
    model = Model(ext, tmp_path_factory.mktemp("memory") / "store", documents, split=1200)
    model.all_answers = model.answers()
    yield model
    del model.store


def test_every_operation_matches_the_reference_in_memory(in_memory):
    answers = in_memory.all_answers
    # Indexed EQ sees only records saved after the projection; the same query as a full
    # scan (on an unprojected copy of the field) sees records from before it too.
    assert any(n < in_memory.split for n in in_memory.numbers(in_memory.scan("/s", "NE", ["abc"])))
    assert all(n >= in_memory.split for n in answers[("/s", "EQ", repr(["abc"]), 0)])
    assert answers[("/s", "EQ", repr(["abc"]), 0)]
    in_memory.check_extraction()


def test_full_scan_lists_each_match_once_in_address_order(in_memory, tmp_path):
    listing = tmp_path / "listing"
    with stdout_to(listing):
        bitmap = in_memory.store.scan("/b", in_memory.ext.ScanOperation.EQ, [True], None, None)
        assert len(bitmap) == 0  # the operand True is the integer 1, the field holds a bool
        bitmap = in_memory.store.scan("/m", in_memory.ext.ScanOperation.IN, ["3", 1.0], None, None)
    lines = listing.read_bytes().decode().splitlines()
    numbers = in_memory.numbers(bitmap)
    assert numbers and lines == [encode(in_memory.documents[n]) for n in numbers]


def test_a_listing_larger_than_a_scan_keeps_is_read_again_whole(ext, tmp_path):
    # About 100 MB of matching text: past 64 MiB the scan keeps none of it and the store
    # reads the matches again, streamed; the listing must not change.
    store, _ = make_store(ext, tmp_path / "store")
    pad = "p" * 100_000
    documents = [json.dumps({"n": n, "p": pad}) for n in range(1000)]
    for first in range(0, len(documents), 100):
        store.load("\n".join(documents[first:first + 100]))
    listing = tmp_path / "listing"
    with stdout_to(listing):
        bitmap = store.scan("/n", ext.ScanOperation.GE, [1], None, None)
    assert len(bitmap) == 999
    assert listing.read_text().splitlines() == documents[1:]


def test_bad_queries_raise_clear_errors_and_change_nothing(ext, in_memory, tmp_path):
    store, op = in_memory.store, ext.ScanOperation
    end = store.end_address
    for name in ("/s", "/f"):
        for operation in (op.EQ, op.NE, op.LT, op.LE, op.GT, op.GE):
            with pytest.raises(ValueError):
                store.scan(name, operation, [], None, None)
        for operation in (op.DEF, op.BTW):
            with pytest.raises(IndexError, match="invalid map<K, T> key"):
                store.scan(name, operation, [1], None, None)
    with pytest.raises(TypeError):
        store.scan("/s", op.EQ, ["abc"])  # the bounds must be passed, as None if absent
    with pytest.raises(TypeError):
        store.scan("/s", op.EQ, [[1]], None, None)
    with pytest.raises(TypeError):
        store.scan("/s", op.EQ, "abc", None, None)
    assert store.query("a", "b") == 0
    # Extraction at addresses where no record starts names the address and keeps the
    # store usable.
    raw = ext.Extractor.record([("id", ext.Extractor.Raw("/id"))])
    for wrong in ([in_memory.addresses[0] + 8], [end + 4096], [in_memory.addresses[5], 1 << 40]):
        with pytest.raises(RuntimeError, match="address"):
            store.extract(raw, ext.Bitmap(np.array(wrong, dtype=np.uint64)))
    assert store.extract(raw, ext.Bitmap(np.array(in_memory.addresses[:3], dtype=np.uint64))) is not None
    assert store.end_address == end

    # A field holding an object, array or null abandons the scan with an error.
    other, _ = make_store(ext, tmp_path / "nonscalar")
    other.save('{"k":1,"v":2}\n{"k":{"x":1}}\n{"k":[1]}\n{"k":null}')
    for bad in ('{"x":1}', "[1]", "null"):
        single, _ = make_store(ext, tmp_path / f"single{len(bad)}")
        single.save('{"k":5}\n{"k":%s}\n{"k":6}' % bad)
        with stdout_to(tmp_path / "listing"):
            with pytest.raises(RuntimeError, match="The field does not contain a scalar type"):
                single.scan("/k", op.GE, [0], None, None)
        assert (tmp_path / "listing").read_bytes() == b""
        del single
    # The store still answers after the refused query.
    assert len(other.scan("/v", op.EQ, [2], None, None)) == 1
    del other


def test_answers_do_not_change_when_the_records_live_on_disk(ext, in_memory, tmp_path):
    # Filler records between the model's push the log several times past its memory,
    # so most model records are read back from the log file by scans and extraction.
    filler = encode({"pad": "p" * FILLER_BYTES})
    on_disk = Model(ext, tmp_path / "store", in_memory.documents, in_memory.split, filler)
    try:
        assert on_disk.store.end_address > 2.5 * LOG_SIZE
        # Full scans read the log from disk: a subset of the queries, most of them over
        # the middle third of the records, keeps this quick.
        queries = [(name, operand_lists[:1]) for name, operand_lists in QUERIES]
        answers = on_disk.answers(queries, ["EQ", "LT", "GE"], (1, 3), SET_OPERANDS[3:4], ("NI",))
        assert answers == {key: in_memory.all_answers[key] for key in answers}
        assert on_disk.check_extraction().to_pylist() == in_memory.check_extraction().to_pylist()
        # The listing of a full scan reads the records below the head from the log file.
        with stdout_to(tmp_path / "listing"):
            bitmap = on_disk.store.scan("/m", ext.ScanOperation.IN, ["3", 1.0], None, None)
        numbers = on_disk.numbers(bitmap)
        assert numbers and min(bitmap) < on_disk.store.end_address - LOG_SIZE
        lines = (tmp_path / "listing").read_bytes().decode().splitlines()
        assert lines == [encode(in_memory.documents[n]) for n in numbers]
    finally:
        del on_disk.store


def test_scans_and_extraction_while_the_write_threads_insert(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    store.projection("/kind")
    batches = [("\n".join('{"kind":"%s","n":%d}' % ("ab"[n % 2], n) for n in range(b * 50, b * 50 + 50)).encode(),
                b"%d" % b) for b in range(400)]
    errors = []

    def send():
        try:
            with quillmark.Client(f"tcp://127.0.0.1:{port}", timeout=10, window=8) as client:
                list(client.send_many(batches))
        except Exception as error:  # reported by the main thread
            errors.append(error)

    extractor = ext.Extractor.record([("n", ext.Extractor.Int("/n", True, 64, None, None, None))])
    op = ext.ScanOperation
    with quillmark.running(store, 2):
        sender = threading.Thread(target=send)
        sender.start()
        deadline = time.monotonic() + 30
        previous = 0
        rounds = 0
        while (sender.is_alive() or rounds < 2) and time.monotonic() < deadline:
            rounds += 1
            with stdout_to(os.devnull):
                indexed = store.scan("/kind", op.EQ, ["a"], None, None)
                full = store.scan("/kind", op.IN, ["a"], None, None)
            # Records are only appended: what the index saw first, the full scan sees too.
            assert set(indexed) <= set(full)
            assert len(indexed) >= previous
            previous = len(indexed)
            if len(full):
                numbers = quillmark.to_table(store.extract(extractor, full)).column("n").to_pylist()
                assert len(set(numbers)) == len(numbers) and all(n % 2 == 0 for n in numbers)
        sender.join(timeout=30)
    assert not errors and not sender.is_alive()
    with stdout_to(os.devnull):
        final_full = store.scan("/kind", op.IN, ["a"], None, None)
    assert len(store.scan("/kind", op.EQ, ["a"], None, None)) == len(final_full) == 400 * 25
