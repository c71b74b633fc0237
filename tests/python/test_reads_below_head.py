"""Queries over records that live on disk give the answers the same records give in memory:
indexed scans and extractions (small ones on the calling thread, large ones on two
threads), the first time and repeated, after more records pushed the first ones out of
the log's memory, and in a store recovered from a snapshot of them."""
import pyarrow as pa

from store_helpers import LOG_SIZE, make_store

RECORDS = 100_000
PAD = "p" * 2400  # about 250 MB of records: most of a smallest log's records end up on disk


def documents(first, count):
    lines = []
    for i in range(first, first + count):
        lines.append('{"id":%d,"k":%d,"g":%d,"x":%s,"s":"v\\"%d","pad":"%s"}'
                     % (i, i % 1000, i % 4, repr(i / 8), i % 13, PAD[: i % 2400]))
    return "\n".join(lines) + "\n"


def expected_table(keep):
    rows = [i for i in range(RECORDS) if keep(i)]
    return pa.table({"id": pa.array(rows, pa.int64()), "x": pa.array([i / 8 for i in rows], pa.float64()),
                     "s": pa.array([f'v"{i % 13}' for i in rows], pa.string())})


def fill(ext, path, log_size):
    store = ext.JSONStore(log_size, str(path), 0)
    store.projection("/k")
    store.projection("/g")
    for first in range(0, RECORDS, 5000):
        store.save(documents(first, 5000))
    return store


def answers(ext, store):
    """(query, bitmap, table) for a sparse and a dense selection, each run twice."""
    E = ext.Extractor
    extractor = E.record([("id", E.Int("/id", True, 64, None, None, None)), ("x", E.Float("/x", 64, None, None, None)),
                          ("s", E.String("/s", None))])
    queries = {"k == 7": lambda: store.scan("/k", ext.ScanOperation.EQ, [7], None, None),
               "g in (1, 2)": lambda: store.scan("/g", ext.ScanOperation.EQ, [1], None, None)
               | store.scan("/g", ext.ScanOperation.EQ, [2], None, None)}
    result = []
    for name, query in queries.items():
        for attempt in ("cold", "warm"):
            bitmap = query()
            result.append((f"{name} ({attempt})", bitmap, pa.table(store.extract_arrow(extractor, bitmap))))
    return result


def test_disk_answers_equal_memory_answers_and_the_records_written(ext, tmp_path):
    memory = fill(ext, tmp_path / "memory", 4 * LOG_SIZE)
    disk = fill(ext, tmp_path / "disk", LOG_SIZE)
    before = disk.read_statistics()
    in_memory = answers(ext, memory)
    on_disk = answers(ext, disk)
    assert disk.read_statistics()["device_reads"] > before["device_reads"], "nothing was read from disk"
    expected = {"k": expected_table(lambda i: i % 1000 == 7), "g": expected_table(lambda i: i % 4 in (1, 2))}
    for (name, bitmap, table), (_, disk_bitmap, disk_table) in zip(in_memory, on_disk):
        assert list(disk_bitmap) == list(bitmap), name
        assert table.equals(expected[name[0]]), name
        assert disk_table.equals(table), name
    del memory

    taken = disk.snapshot()
    del disk
    recovered, _ = make_store(ext, tmp_path / "disk")
    recovered.recover(taken["index"]["token"], taken["log"]["token"], 1)
    try:
        for (name, bitmap, table), (_, again_bitmap, again_table) in zip(on_disk, answers(ext, recovered)):
            assert list(again_bitmap) == list(bitmap), name
            assert again_table.equals(table), name
    finally:
        recovered.stop()
