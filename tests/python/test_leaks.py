"""Loops that would expose leaks through the Python module: stores created, filled and
released over one directory; the ingestion service started and stopped; scans,
extractions and bitmaps made and dropped. After a warm-up, resident memory must stay
under a bound that leaking one iteration's worth of the loop's objects would break, and
open descriptors and threads must come back to where they were."""
import gc
import os
import threading
import time

import pytest

import quillmark
from store_helpers import (RESIDENT_MEMORY_SHOWS_LEAKS, client, live_threads, make_store, open_descriptors, request,
                           resident_bytes, stdout_to)

MIB = 1024 * 1024
KINDS = 5


def documents(first, count):
    return "".join('{"n": %d, "kind": "k%d", "text": "%s"}\n' % (n, n % KINDS, "x" * (n % 23))
                   for n in range(first, first + count))


def settled(expected=None):
    """(resident bytes, open descriptors, threads) once Python has dropped its garbage.
    The messaging library closes sockets on its own thread after the close call returns,
    so descriptors and threads are given a moment to come back to `expected`, or, without
    it, to stop changing."""
    gc.collect()
    counts = (open_descriptors(), live_threads())
    unchanged = 0
    for _ in range(300):
        if counts == expected or (expected is None and unchanged >= 30):
            break
        time.sleep(0.01)
        now = (open_descriptors(), live_threads())
        unchanged = unchanged + 1 if now == counts else 0
        counts = now
    return (resident_bytes(),) + counts


def check_flat(name, before, after, bound):
    (rss_before, fds_before, threads_before), (rss_after, fds_after, threads_after) = before, after
    print(f"\nleaks: {name}: RSS {rss_before / MIB:.1f} -> {rss_after / MIB:.1f} MiB "
          f"(growth {(rss_after - rss_before) / 1024:.0f} KiB, bound {bound / 1024:.0f} KiB), "
          f"descriptors {fds_before} -> {fds_after}, threads {threads_before} -> {threads_after}")
    assert fds_after == fds_before
    assert threads_after == threads_before
    if RESIDENT_MEMORY_SHOWS_LEAKS:
        assert rss_after - rss_before < bound


STORE_WARM_UP, STORE_CYCLES = 3, 16
STORE_BATCH = 2000


def test_stores_created_filled_and_released_leave_nothing_behind(ext, tmp_path):
    # Each store pre-faults a 192 MiB log; leaking a store, its engine or its log pages
    # would add at least that much per cycle, its hash index 256 KiB.
    path = tmp_path / "store"
    payload = documents(0, STORE_BATCH)
    op = ext.ScanOperation

    def cycle():
        store, port = make_store(ext, path)
        with pytest.raises(RuntimeError, match="store directory is in use"):
            make_store(ext, path, port)
        store.projection("/kind")
        assert store.save(payload) == STORE_BATCH
        assert len(store.scan("/kind", op.EQ, ["k1"], None, None)) == STORE_BATCH // KINDS
        del store

    for _ in range(STORE_WARM_UP):
        cycle()
    before = settled()
    for _ in range(STORE_CYCLES):
        cycle()
    check_flat(f"{STORE_CYCLES} stores", before, settled(before[1:]), 4 * MIB)


SERVICE_STORES, SERVICE_CYCLES = 4, 4


def test_service_started_and_stopped_leaves_nothing_behind(ext, tmp_path):
    # `run` pauses a second, so the stores cycle side by side, one Python thread each.
    stores = [make_store(ext, tmp_path / f"store{i}") for i in range(SERVICE_STORES)]
    failures = []

    def cycles(store, port, count):
        try:
            for _ in range(count):
                with quillmark.running(store, 2), client(port) as requests:
                    for batch in range(3):
                        tag = b"%d" % batch
                        assert request(requests, documents(batch * 10, 10).encode(), tag) == [b"OK", tag]
                assert not store.is_running()
        except Exception as error:  # noqa: BLE001 - reported by the test
            failures.append(repr(error))

    def round_of(count):
        threads = [threading.Thread(target=cycles, args=(store, port, count)) for store, port in stores]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(120)
        assert failures == [] and not any(thread.is_alive() for thread in threads)

    round_of(2)
    before = settled()
    round_of(SERVICE_CYCLES)
    check_flat(f"{SERVICE_STORES} stores x {SERVICE_CYCLES} service runs", before, settled(before[1:]), 4 * MIB)
    for store, _ in stores:
        assert store.stats()[1] == (2 + SERVICE_CYCLES) * 30


SCAN_RECORDS, SCAN_WARM_UP, SCAN_ROUNDS = 20000, 20, 150


def test_scans_extractions_and_bitmaps_in_loops_leave_nothing_behind(ext, tmp_path):
    # One round makes bitmaps of 4000 to 8000 addresses and Arrow tables of 4000 rows
    # (about 200 KiB of results with their Base64 text); keeping one round's results
    # would pass the bound within 40 rounds.
    store, _ = make_store(ext, tmp_path / "store")
    store.projection("/kind")
    for first in range(0, SCAN_RECORDS, 5000):
        assert store.save(documents(first, 5000)) == 5000
    op = ext.ScanOperation
    extractor = ext.Extractor.record([("n", ext.Extractor.Int("/n", True, 64, None, None, None)),
                                      ("kind", ext.Extractor.String("/kind", None)),
                                      ("text", ext.Extractor.Raw("/text"))])
    expected_numbers = list(range(2, SCAN_RECORDS, KINDS))

    def round_():
        indexed = store.scan("/kind", op.EQ, ["k2"], None, None)
        listed = store.scan("/kind", op.IN, ["k2", "k3"], None, None)
        assert len(indexed) == SCAN_RECORDS // KINDS and indexed.strict_subset_of(listed)
        table = quillmark.to_table(store.extract(extractor, indexed))
        assert table.column("n").to_pylist() == expected_numbers
        both = indexed | listed
        buffer = bytearray(both.persisted_size())
        both.write(buffer)
        assert ext.Bitmap.read(buffer) == listed
        assert len(both.index_array()) == len(list(both)) == 2 * SCAN_RECORDS // KINDS
        with pytest.raises(IndexError):
            store.scan("/n", op.DEF, [], None, None)

    with stdout_to(os.devnull):
        for _ in range(SCAN_WARM_UP):
            round_()
        before = settled()
        for _ in range(SCAN_ROUNDS):
            round_()
        after = settled(before[1:])
    check_flat(f"{SCAN_ROUNDS} rounds of scans and extractions", before, after, 8 * MIB)
