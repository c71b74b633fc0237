"""The package-level additions: Arrow tables through the C stream interface, switchable
logging and scan listing, loading files, and documentation of every public name."""
import gzip
import inspect
import os
import re
import subprocess
import sys
import textwrap
import time

import duckdb
import numpy as np
import pyarrow as pa
import pytest

import quillmark
from store_helpers import make_store, stdout_to

DOCUMENTS = [
    '{"s": "a\\"b", "i": 1, "f": 0.5, "b": true, "ts": 1.5, "t": "12:30:00", "d": "2001-02-03", "p": "PT2S"}',
    '{"s": 7, "i": 300, "f": 0.1, "b": "yes", "ts": "2020-01-01T00:00:00Z", "t": 5, "d": 11, "p": 3.25}',
    '{"i": "12", "f": "x", "b": 0, "t": "bad", "p": "P1D"}',
    '{"s": "", "i": -128, "f": 1e300, "b": false, "ts": -2, "d": "1969-12-31", "p": 0}',
]


def every_kind(E):
    return [
        ("raw", E.Raw("/i")), ("raw_text", E.Raw("/s")), ("bool", E.Bool("/b")), ("string", E.String("/s", None)),
        ("int8", E.Int("/i", True, 8, None, None, None)), ("uint16", E.Int("/i", False, 16, 9, None, None)),
        ("float32", E.Float("/f", 32, -1.0, None, None)), ("float64", E.Float("/f", 64, None, None, None)),
        ("timestamp", E.Timestamp("/ts", "ms", None, None, None, None)),
        ("time", E.Time("/t", "s", "00:00:01", None, None)), ("date", E.Date("/d", "ms", None, None, None)),
        ("duration", E.Duration("/p", "us", None, None, None)),
    ]


@pytest.fixture
def loaded(ext, tmp_path):
    store, _ = make_store(ext, tmp_path / "store")
    store.save("\n".join(DOCUMENTS))
    with stdout_to(os.devnull):
        everything = store.scan("/i", ext.ScanOperation.NE, ["none"], None, None)
    yield store, everything
    del store


def test_extract_arrow_equals_the_decoded_extract_for_every_kind(ext, loaded):
    store, everything = loaded
    E = ext.Extractor
    addresses = everything.index_array()
    subsets = [everything, ext.Bitmap(addresses[1:2]), ext.Bitmap(addresses[::3])]
    for name, extractor in every_kind(E):
        columns = E.record([(name, extractor), ("i", E.Raw("/i"))])
        for bitmap in subsets:
            expected = quillmark.to_table(store.extract(columns, bitmap))
            result = store.extract_arrow(columns, bitmap)
            assert result.num_rows == len(bitmap) and result.column_names == [name, "i"]
            assert pa.table(result).equals(expected), name
            assert pa.table(result).equals(expected), name  # read again from the same object
    # An empty bitmap: no rows, the columns' types (a Raw column has no value to type it).
    columns = E.record(every_kind(E))
    empty = pa.table(store.extract_arrow(columns, ext.Bitmap()))
    full = quillmark.to_table(store.extract(columns, everything))
    assert empty.num_rows == 0 and empty.column_names == full.column_names
    assert [f.type for f in empty.schema] == [pa.null() if n.startswith("raw") else t
                                              for n, t in zip(full.column_names, full.schema.types)]
    with pytest.raises(ValueError, match="record extractor"):
        store.extract_arrow(E.Raw("/i"), everything)


def test_extract_arrow_feeds_duckdb_and_outlives_the_store(ext, loaded):
    store, everything = loaded
    E = ext.Extractor
    result = store.extract_arrow(E.record([("i", E.Int("/i", True, 64, None, None, None)),
                                           ("s", E.String("/s", None))]), everything)
    del store
    assert duckdb.from_arrow(result).order("i").fetchall() == [
        (-128, ""), (1, 'a"b'), (12, "null"), (300, "7")]
    assert duckdb.sql("SELECT sum(i) FROM result").fetchone() == (185,)
    capsule = result.__arrow_c_stream__()
    assert type(capsule).__name__ == "PyCapsule" and "arrow_array_stream" in repr(capsule)
    del capsule  # never consumed: released by the capsule
    assert pa.table(result).num_rows == 4


QUIET_IMPORT = textwrap.dedent(r"""
    import sys, zmq
    import quillmark
    from store_helpers import make_store, client, request
    store, port = make_store(quillmark.extension, sys.argv[1])
    store.save('{"a": 1}')
    store.load(b'{"a": 2}')
    print("matches", len(store.scan("/a", quillmark.ScanOperation.GE, [0], None, None)), flush=True)
    with quillmark.running(store, 1), client(port) as requests:
        request(requests, b'{"a": 3}', b"t")
        if len(sys.argv) > 2:
            quillmark.set_log_level(sys.argv[2])
            quillmark.set_scan_listing(True)
        request(requests, b'{"a": 4}', b"t")
        store.scan("/a", quillmark.ScanOperation.GE, [4], None, None)
""")


@pytest.mark.parametrize("level, shown", [(None, []), ("warning", []), ("info", ["Service stopped"]),
                                          ("debug", ["Write thread 0 has session", "Service stopped"]),
                                          ("off", [])])
def test_package_import_is_quiet_until_asked(tmp_path, level, shown):
    arguments = [sys.executable, "-c", QUIET_IMPORT, str(tmp_path / "store")] + ([level] if level else [])
    result = subprocess.run(arguments, capture_output=True, text=True, timeout=60,
                            cwd=os.path.dirname(__file__))
    assert result.returncode == 0, result.stderr
    lines = (result.stdout + result.stderr).splitlines()
    # Before the switch: neither log lines nor the listing of the full scan.
    assert lines[0] == "matches 2"
    expected_listing = ['{"a": 4}'] if level else []
    assert [line for line in lines[1:] if line.startswith("{")] == expected_listing
    logged = [line for line in lines[1:] if not line.startswith("{")]
    assert all(any(text in line for line in logged) for text in shown), logged
    if not shown:
        assert logged == []


def write_lines(path, lines, compress):
    data = "".join(lines).encode()
    with (gzip.open if compress else open)(path, "wb") as out:
        out.write(data)
    return data


def stored_values(ext, store):
    E = ext.Extractor
    with stdout_to(os.devnull):
        bitmap = store.scan("/n", ext.ScanOperation.GE, [0], None, None)
    return quillmark.to_table(store.extract(E.record([("n", E.Raw("/n"))]), bitmap)).column("n").to_pylist()


@pytest.mark.parametrize("compress", [False, True])
def test_load_file_stores_every_line_in_batches_cut_at_line_ends(ext, tmp_path, compress, capsys):
    lines = ['{"n": %d, "pad": "%s"}\n' % (n, "x" * (n % 97)) for n in range(2000)]
    lines[5] = '{"n": 5, "long": "%s"}\n' % ("y" * 5000)  # longer than a batch
    lines[9] = "\n  \n"  # blank lines, no record
    lines[-1] = lines[-1].rstrip("\n")  # the last line has no line end
    path = tmp_path / ("records.jsonl.gz" if compress else "records.jsonl")
    write_lines(path, lines, compress)
    for batch_bytes, progress in ((1000, True), (1 << 20, False)):
        store, _ = make_store(ext, tmp_path / f"store{batch_bytes}")
        assert quillmark.load_file(store, path, batch_bytes=batch_bytes, progress=progress) == 1999
        assert stored_values(ext, store) == [n for n in range(2000) if n != 9]
        assert store.stats()[1] == 1999
        del store
        bar = capsys.readouterr().err
        assert ("records=1999" in bar and "B/s" in bar) if progress else bar == ""


def test_load_file_names_the_bad_byte_and_keeps_the_batches_before(ext, tmp_path):
    lines = ['{"n": %d}\n' % n for n in range(300)]
    lines[250] = '{"n": 250, oops}\n'
    path = tmp_path / "bad.jsonl"
    data = write_lines(path, lines, compress=False)
    store, _ = make_store(ext, tmp_path / "store")
    with pytest.raises(quillmark.LoadError) as refused:
        quillmark.load_file(store, path, batch_bytes=500, progress=False)
    error = refused.value
    assert data[error.offset:error.offset + 4] == b"oops" and f"at byte {error.offset}" in str(error)
    stored = stored_values(ext, store)
    assert stored == list(range(len(stored))) and error.records == len(stored) and 200 < len(stored) < 250
    # A projected value that is not a scalar: the store names no byte, the error the batch.
    store.projection("/n")
    path.write_text('{"n": 1000}\n' * 40 + '{"n": [1]}\n')
    with pytest.raises(quillmark.LoadError, match="scalar") as refused:
        quillmark.load_file(store, path, batch_bytes=100, progress=False)
    assert 0 < refused.value.offset <= 40 * 12 < refused.value.offset + 100
    assert len(stored_values(ext, store)) == len(stored) + refused.value.records
    # A locked store stores nothing and says so instead of reporting 0 records.
    store.lock_data_ingestion()
    assert store.load(b'{"n": 1000}') == 0
    before = len(stored_values(ext, store))
    with pytest.raises(RuntimeError, match="locked"):
        quillmark.load_file(store, path, progress=False)
    assert len(stored_values(ext, store)) == before
    del store


def test_load_inserts_like_save_without_pause_or_log(ext, tmp_path):
    store, _ = make_store(ext, tmp_path / "store")
    store.projection("/k")
    batch = b'{"k": "a", "n": 0}\n{"k": "b", "n": 1}\n'
    started = time.monotonic()
    counts = [store.load(batch) for _ in range(40)] + [store.load(bytearray(batch)), store.load(batch.decode())]
    assert time.monotonic() - started < 3.0  # save pauses 100 ms per call: at least 4.2 s
    assert counts == [2] * 42 and store.stats() == (42 * len(batch), 84)
    assert len(store.scan("/k", ext.ScanOperation.EQ, ["a"], None, None)) == 42
    for refused, error, message in ((b'{"k": "a"}\n{"k": [1]}', RuntimeError, "scalar"),
                                    (b'{"k": "a"}\n{"k": ', ValueError, "at byte 11")):
        with pytest.raises(error, match=message):
            store.load(refused)
    assert store.stats() == (42 * len(batch), 84)
    del store


SIGNATURE_LINE = re.compile(r"^(\d+\. )?\w*\(.*\)( -> .*)?$|^Overloaded function\.$")


def documented(value):
    """The docstring without the signature lines pybind11 writes."""
    return "\n".join(line for line in (inspect.getdoc(value) or "").splitlines() if not SIGNATURE_LINE.match(line))


def test_every_public_name_of_the_module_has_a_docstring(ext):
    undocumented = []
    for name in dir(ext):
        value = getattr(ext, name)
        if name.startswith("_") or isinstance(value, (ext.ScanOperation, ext.Status, ext.ExtractorType)):
            continue
        if len(documented(value).strip()) < 20:
            undocumented.append(name)
        if isinstance(value, type):
            for member, attribute in vars(value).items():
                wanted = not member.startswith("_") or member in ("__init__", "__arrow_c_stream__")
                if hasattr(value, "__members__") and member in ("__init__", "name", "value"):
                    wanted = False  # an enumeration's own machinery
                if not wanted or isinstance(attribute, value):
                    continue
                if len(documented(attribute).strip()) < 10:
                    undocumented.append(f"{name}.{member}")
    assert undocumented == []
