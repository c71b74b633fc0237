"""Soak under load: client processes stream batches to the ingestion service while Python
threads scan, query projections (registering new ones on the way), extract and take
snapshots, for QUILLMARK_SOAK_SECONDS (a short run by default; `make soak` runs minutes,
with documents of up to QUILLMARK_SOAK_TEXT_BYTES of text so that the log outgrows memory).
Afterwards every request has had its answer, the store holds exactly the records of the
accepted batches, resident memory stayed flat after warm-up, and the store still answers,
stops cleanly and recovers its last snapshot with every record."""
import gc
import multiprocessing
import os
import shutil
import statistics
import threading
import time

import quillmark
from store_helpers import RESIDENT_MEMORY_SHOWS_LEAKS, FIRST_ADDRESS, client, make_store, request, resident_bytes, stdout_to, timed_writer

SOAK_SECONDS = float(os.environ.get("QUILLMARK_SOAK_SECONDS", "10"))
WRITER_PROCESSES = 3
WRITE_WORKERS = 2
DOCUMENTS_PER_BATCH = 8
TEXT_BYTES = int(os.environ.get("QUILLMARK_SOAK_TEXT_BYTES", "16"))
KIND_ZERO_PER_BATCH = 2  # documents i = 0 and 5 of each batch have kind "k0"
# Longer than the workers' whole wait for REST (10 x 2 s): a request without a reply in
# this time is lost, not slow.
REPLY_TIMEOUT_MS = 30000
# Scans and extractions look at the newest records only, so that their cost and the
# memory of their results stay the same however long the soak runs.
WINDOW_BYTES = 128 * 1024
PROJECTED_DURING_LOAD = ["/writer", "/i", "/batch"]
SNAPSHOT_PAUSE_S = 1.0
SAMPLE_PAUSE_S = 0.2
# The memory check must catch a leak of this much per batch: growth over the second half
# may be half of what such a leak would add, but never less than the allocators' own
# drift (a few hundred KiB here).
LEAK_PER_BATCH = 1024
MEMORY_DRIFT = 768 * 1024
BUSY = "Can acquire only in REST phase!"


class Loop(threading.Thread):
    """Calls `step` until `stop` is set, `pause` seconds apart, counting the steps done
    and those refused because a checkpoint or projection change was running. Any other
    failure is recorded and ends the loop."""

    def __init__(self, name, step, stop, pause=0.0):
        super().__init__(name=name, daemon=True)
        self.step, self.stop, self.pause = step, stop, pause
        self.done = self.busy = 0
        self.failures = []

    def run(self):
        while not self.stop.is_set():
            try:
                self.step()
                self.done += 1
            except RuntimeError as error:
                if BUSY not in str(error):
                    self.failures.append(repr(error))
                    return
                self.busy += 1
            except Exception as error:  # noqa: BLE001 - reported by the test
                self.failures.append(repr(error))
                return
            self.stop.wait(self.pause)


def newest_window(store):
    end = store.end_address
    return max(FIRST_ADDRESS, end - WINDOW_BYTES), end


def median_in(samples, first, last):
    """Median resident memory of the samples taken in [first, last] (seconds)."""
    values = [rss for at, rss, _ in samples if first <= at <= last]
    return statistics.median(values) if values else None


def records_at(samples, at):
    """Records ingested at the last sample taken by `at`."""
    return max((records for taken, _, records in samples if taken <= at), default=0)


def check_exactly_accepted(table, writers):
    """Each writer's accepted documents, and no other, are in `table` (columns writer and
    n of every record) once, with their numbers intact."""
    stored = {}
    for writer, n in zip(table.column("writer").to_pylist(), table.column("n").to_pylist()):
        stored.setdefault(writer, []).append(n)
    for writer, counts in enumerate(writers):
        refused = set(counts["not_accepted"])
        expected = [batch * DOCUMENTS_PER_BATCH + i for batch in range(counts["sent"]) if batch not in refused
                    for i in range(DOCUMENTS_PER_BATCH)]
        assert sorted(stored.pop(writer, [])) == expected, writer
    assert stored == {}


def test_soak_many_writers_with_queries_extractions_and_snapshots(ext, tmp_path):
    path = tmp_path / "store"
    store, port = make_store(ext, path)
    op = ext.ScanOperation
    extractor = ext.Extractor.record([
        ("writer", ext.Extractor.Int("/writer", True, 64, None, None, None)),
        ("n", ext.Extractor.Int("/n", True, 64, None, None, None)),
        ("kind", ext.Extractor.String("/kind", None)),
    ])
    store.projection("/kind")
    stop = threading.Event()
    projected = []

    def scan():
        start, end = newest_window(store)
        indexed = store.scan("/kind", op.EQ, ["k1"], start, end)
        full = store.scan("/kind", op.IN, ["k1"], start, end)
        # A record is linked into its chain only once written, so what the chain showed
        # first, the full scan (run after it) shows too.
        assert indexed.subset_of(full), (len(indexed), len(full))

    registered_at = time.monotonic()

    def project():
        nonlocal registered_at
        due = len(projected) < len(PROJECTED_DURING_LOAD) and \
            time.monotonic() - registered_at > SOAK_SECONDS / (len(PROJECTED_DURING_LOAD) + 1)
        if due:
            store.projection(PROJECTED_DURING_LOAD[len(projected)])
            projected.append(PROJECTED_DURING_LOAD[len(projected)])
            registered_at = time.monotonic()
        for name in projected:
            start, end = newest_window(store)
            indexed = store.scan(name, op.EQ, [1], start, end)
            full = store.scan(name, op.IN, [1], start, end)
            assert indexed.subset_of(full), (name, len(indexed), len(full))

    def extract():
        start, end = newest_window(store)
        records = store.scan("/n", op.GE, [0], start, end)
        if records.empty():
            return
        table = quillmark.to_table(store.extract(extractor, records))
        assert table.num_rows == len(records)
        pairs = set(zip(table.column("writer").to_pylist(), table.column("n").to_pylist()))
        assert len(pairs) == table.num_rows  # no record read twice

    def snapshot():
        result = store.snapshot()
        if result["index"]["token"] == 0:
            return  # nothing ingested yet
        assert int(result["index"]["status"]) == 0 and int(result["log"]["status"]) == 0, result
        assert result["log"]["token"] != 0, result

    samples = []  # (seconds since start, resident bytes, records ingested)

    def sample():
        samples.append((time.monotonic() - started, resident_bytes(), store.stats()[1]))

    loops = [Loop("scans", scan, stop), Loop("projection queries", project, stop, 0.05),
             Loop("extractions", extract, stop), Loop("snapshots", snapshot, stop, SNAPSHOT_PAUSE_S),
             Loop("memory samples", sample, stop, SAMPLE_PAUSE_S)]

    # Full scans list their matches on standard output, and the service logs there.
    with stdout_to(os.devnull):
        store.run(WRITE_WORKERS)
        spawn = multiprocessing.get_context("spawn")
        try:
            with spawn.Pool(WRITER_PROCESSES) as pool:
                started = time.monotonic()
                pending = pool.starmap_async(
                    timed_writer,
                    [(port, SOAK_SECONDS, writer, DOCUMENTS_PER_BATCH, REPLY_TIMEOUT_MS, TEXT_BYTES)
                     for writer in range(WRITER_PROCESSES)])
                for loop in loops:
                    loop.start()
                writers = pending.get(timeout=SOAK_SECONDS + 2 * REPLY_TIMEOUT_MS / 1000 + 60)
            elapsed = time.monotonic() - started
            sample()
        finally:
            # Also when the writers failed: no thread may go on using the store.
            stop.set()
            for loop in loops:
                if loop.ident is not None:
                    loop.join(60)

        stopping = time.monotonic()
        store.stop()
        stop_seconds = time.monotonic() - stopping
        stats = store.stats()
        counting = time.monotonic()
        every_record = store.scan("/n", op.GE, [0], None, None)
        count_seconds = time.monotonic() - counting
        counted = len(every_record)
        extracting = time.monotonic()
        table = quillmark.to_table(store.extract(extractor, every_record))
        extract_seconds = time.monotonic() - extracting
        kind_zero = len(store.scan("/kind", op.EQ, ["k0"], None, None))

    sent = sum(w["sent"] for w in writers)
    answered = sum(w["answered"] for w in writers)
    accepted = sum(w["accepted"] for w in writers)
    records = sum(w["records"] for w in writers)
    replies = {}
    for w in writers:
        for kind, count in w["replies"].items():
            replies[kind] = replies.get(kind, 0) + count
    # Warm-up is the first half; memory may not grow over the second half by more than a
    # fraction of what a leak of LEAK_PER_BATCH per batch would add.
    half, end = elapsed / 2, samples[-1][0]
    warm_rss = median_in(samples, half - 1, half + 1)
    end_rss = median_in(samples, end - 2, end)
    second_half_batches = (records_at(samples, end) - records_at(samples, half)) // DOCUMENTS_PER_BATCH
    growth = end_rss - warm_rss
    bound = max(second_half_batches * LEAK_PER_BATCH // 2, MEMORY_DRIFT)
    mib = 1024 * 1024
    by_name = {loop.name: loop for loop in loops}
    print(f"\nsoak: {elapsed:.1f} s, {WRITER_PROCESSES} writer processes, {WRITE_WORKERS} write workers, "
          f"{DOCUMENTS_PER_BATCH} records a batch")
    print(f"soak: batches sent {sent}, answered {answered}, accepted {accepted}, unanswered "
          f"{sum(w['unanswered'] for w in writers)}, replies {replies}")
    print(f"soak: records {records} ({records / elapsed:.0f}/s, {accepted / elapsed:.0f} batches/s), "
          f"in the store {stats[1]}, counted by a full scan {counted}, log {store.end_address / mib:.1f} MiB")
    first_half_batches = records_at(samples, half) // DOCUMENTS_PER_BATCH
    print(f"soak: batches/s in the first half {first_half_batches / half:.0f}, in the second half "
          f"{second_half_batches / (end - half):.0f}")
    print(f"soak: RSS at start {samples[0][1] / mib:.1f} MiB, after warm-up {warm_rss / mib:.1f} MiB, "
          f"at end {end_rss / mib:.1f} MiB; growth over the second half {growth / 1024:.0f} KiB "
          f"for {second_half_batches} batches (bound {bound / 1024:.0f} KiB)")
    print("soak: " + ", ".join(f"{name} {loop.done} (refused while busy {loop.busy})"
                               for name, loop in by_name.items() if name != "memory samples"))
    print(f"soak: projections {store.get_all_projections()}, stop took {stop_seconds:.2f} s, "
          f"the full scan that counted the records {count_seconds:.1f} s, "
          f"the extraction of every record {extract_seconds:.1f} s")

    for loop in loops:
        assert not loop.is_alive(), loop.name
        assert loop.failures == [], (loop.name, loop.failures)
    for w in writers:
        assert w["unanswered"] == 0 and w["sent"] == w["answered"], w
        assert set(w["replies"]) <= {"OK", "ERR_BUSY"}, w
        assert w["accepted"] == w["replies"].get("OK", 0), w
    assert accepted > 0
    assert stats == (sum(w["bytes"] for w in writers), records)
    assert counted == records
    check_exactly_accepted(table, writers)
    assert kind_zero == accepted * KIND_ZERO_PER_BATCH
    for name in ("scans", "projection queries", "extractions", "snapshots"):
        assert by_name[name].done > 0, name
    assert projected == PROJECTED_DURING_LOAD
    # Enough batches for the leak to stand out from the drift, and no such leak.
    if RESIDENT_MEMORY_SHOWS_LEAKS:
        assert second_half_batches * LEAK_PER_BATCH > bound, second_half_batches
        assert growth < bound, (growth, bound)
    assert stop_seconds < 10 and not store.is_running()

    # Healthy afterwards: a last snapshot, taken at rest, recovers every record into a
    # new store over the same directory once this one has let it go.
    with stdout_to(os.devnull):
        final = store.snapshot()
        end_address = store.end_address
        del store
        gc.collect()
        recovered, _ = make_store(ext, path)
        recovering = time.monotonic()
        recovered.recover(final["index"]["token"], final["log"]["token"], 1)
        recovery_seconds = time.monotonic() - recovering
        try:
            assert recovered.end_address == end_address
            assert len(recovered.scan("/n", op.GE, [0], None, None)) == records
            assert len(recovered.scan("/kind", op.EQ, ["k0"], None, None)) == kind_zero
            assert recovered.get_all_projections() == sorted(["/kind"] + PROJECTED_DURING_LOAD)
        finally:
            recovered.stop()
    print(f"soak: recovery of the last snapshot {recovery_seconds:.1f} s (with its 1 s pause), "
          f"{records} records recovered")
    # A long soak leaves gigabytes of log; kept only when the test failed.
    del recovered
    gc.collect()
    shutil.rmtree(path)


def test_stop_under_load_acknowledges_exactly_what_it_inserted(ext, tmp_path):
    # The service stops while writers are sending. A request it answered "OK" must be in
    # the store, and one it did not answer must not be: writers can only send again what
    # they did not hear about, so either mistake would lose or duplicate records. Then the
    # service starts again and takes new batches.
    store, port = make_store(ext, tmp_path / "store")
    op = ext.ScanOperation
    extractor = ext.Extractor.record([("writer", ext.Extractor.Int("/writer", True, 64, None, None, None)),
                                      ("n", ext.Extractor.Int("/n", True, 64, None, None, None))])
    writer_seconds, timeout_ms = 4.0, 3000
    with stdout_to(os.devnull):
        store.run(WRITE_WORKERS)
        with multiprocessing.get_context("spawn").Pool(WRITER_PROCESSES) as pool:
            pending = pool.starmap_async(
                timed_writer,
                [(port, writer_seconds, writer, DOCUMENTS_PER_BATCH, timeout_ms) for writer in range(WRITER_PROCESSES)])
            deadline = time.monotonic() + 30
            while store.stats()[1] < 1000 * DOCUMENTS_PER_BATCH and time.monotonic() < deadline:
                time.sleep(0.05)
            store.stop()
            stopped_with = store.stats()
            writers = pending.get(timeout=writer_seconds + 2 * timeout_ms / 1000 + 60)
        every_record = store.scan("/n", op.GE, [0], None, None)
        table = quillmark.to_table(store.extract(extractor, every_record))

        # Started again, the service takes new batches.
        store.run(WRITE_WORKERS)
        with client(port) as requests:
            assert request(requests, b'{"writer": 9, "n": 0}', b"again") == [b"OK", b"again"]
        store.stop()

    print(f"\nstop under load: {stopped_with[1]} records in the store at stop; writers sent "
          f"{[w['sent'] for w in writers]}, unanswered {[w['unanswered'] for w in writers]}")
    assert stopped_with == (sum(w["bytes"] for w in writers), sum(w["records"] for w in writers))
    assert all(w["unanswered"] >= 1 for w in writers)  # each was cut off by the stop
    check_exactly_accepted(table, writers)
    assert store.stats()[1] == stopped_with[1] + 1
