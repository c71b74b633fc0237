"""Snapshots and recovery across processes, crashes and refused recoveries, and the
whole JSONStore member table checked from Python."""
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
import uuid

import pytest

import quillmark

from store_helpers import FIRST_ADDRESS, LOG_SIZE, client, free_port, make_store, request

CHILD_TIMEOUT_S = 60

# Shared by the child processes: a loopback store and a way to report to the parent.
CHILD_PRELUDE = textwrap.dedent(
    """
    import json, sys, uuid
    import zmq
    import _quillmark_rec_server_extension as ext
    LOG_SIZE = %d
    def open_store(path, port):
        store = ext.JSONStore(LOG_SIZE, path, port)
        store.set_listen_address("127.0.0.1")
        return store
    def report(**values):
        print("REPORT " + json.dumps(values, default=str), flush=True)
    def answers(store):
        def scan(name, operation, operands):
            return list(store.scan(name, getattr(ext.ScanOperation, operation), operands, None, None))
        extractor = ext.Extractor.record([("n", ext.Extractor.Int("/n", True, 64, None, None, None))])
        full = store.scan("/n", ext.ScanOperation.GE, [0], None, None)
        return {"indexed": scan("/bucket", "EQ", ["b3"]), "named": scan("/name", "EQ", ["late"]),
                "full": list(full), "full_text": scan("/bucket", "NE", ["b3"]),
                "table": store.extract(extractor, full)}
    """
    % LOG_SIZE
)


def answers(ext, store):
    def scan(name, operation, operands):
        return list(store.scan(name, getattr(ext.ScanOperation, operation), operands, None, None))
    extractor = ext.Extractor.record([("n", ext.Extractor.Int("/n", True, 64, None, None, None))])
    full = store.scan("/n", ext.ScanOperation.GE, [0], None, None)
    return {"indexed": scan("/bucket", "EQ", ["b3"]), "named": scan("/name", "EQ", ["late"]),
            "full": list(full), "full_text": scan("/bucket", "NE", ["b3"]),
            "table": store.extract(extractor, full)}


def run_child(body, *args):
    completed = subprocess.run(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(body), *map(str, args)],
        capture_output=True, text=True, timeout=CHILD_TIMEOUT_S, env=dict(os.environ),
    )
    assert completed.returncode == 0, completed.stderr[-3000:]
    return reports(completed.stdout)


def reports(stdout):
    return [json.loads(line[len("REPORT "):]) for line in stdout.splitlines() if line.startswith("REPORT ")]


def documents(first, count):
    return "".join(json.dumps({"n": n, "bucket": f"b{n % 7}", "text": "x" * (n % 40)}) + "\n"
                   for n in range(first, first + count))


FIRST_GENERATION = """
    path, port = sys.argv[1], int(sys.argv[2])
    store = open_store(path, port)
    store.projection("/bucket")
    store.run(2)
    context = zmq.Context()
    requests = context.socket(zmq.REQ)
    requests.setsockopt(zmq.RCVTIMEO, 5000)
    requests.connect("tcp://127.0.0.1:%d" % port)
    for start in range(0, 300, 50):
        batch = "".join(json.dumps({"n": n, "bucket": "b%d" % (n % 7)}) + "\\n" for n in range(start, start + 50))
        requests.send_multipart([batch.encode(), b"tag"])
        assert requests.recv_multipart()[0] == b"OK"
    requests.close(0)
    context.term()
    store.save("".join(json.dumps({"n": n, "name": "s%d" % n}) + "\\n" for n in range(300, 320)))
    store.projection("/name")
    store.save('{"n": 320, "name": "late", "bucket": "b0"}')
    result = store.snapshot()
    store.stop()
    report(index=str(result["index"]["token"]), log=str(result["log"]["token"]),
           statuses=[int(result["index"]["status"]), int(result["log"]["status"])],
           end=store.end_address, projections=store.get_all_projections(), answers=answers(store))
"""

RECOVER_AND_REPORT = """
    path, port, index, log = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    store = open_store(path, port)
    version, workers = store.recover(uuid.UUID(index), uuid.UUID(log), None)
    report(version=version, workers=workers, end=store.end_address, projections=store.get_all_projections(),
           stats=list(store.stats()), answers=answers(store))
    store.stop()
"""


def test_round_trip_across_three_processes(ext, tmp_path):
    path = str(tmp_path / "store")
    (first,) = run_child(FIRST_GENERATION, path, free_port())
    assert first["statuses"] == [0, 0]
    assert first["projections"] == ["/bucket", "/name"]

    store, port = make_store(ext, path)
    version, workers = store.recover(first["index"].upper(), first["log"], 3)
    assert workers == 3 and store.is_running()
    assert store.end_address == first["end"]
    assert store.stats() == (0, 0)
    # Indexed queries follow the recovered chains and find what the writer found.
    assert answers(ext, store) == first["answers"]
    assert len(first["answers"]["indexed"]) == 300 // 7 + 1 and len(first["answers"]["named"]) == 1
    assert quillmark.to_table(first["answers"]["table"]).column("n").to_pylist() == list(range(321))
    # The recovered projections are served, and asking again registers nothing new:
    # a second predicate over the same field would double every later record's pointers.
    assert store.get_all_projections() == ["/bucket", "/name"]
    assert store.projection_exits("/bucket")
    before = store.end_address
    store.projection("/bucket")
    store.save('{"n": 1000, "bucket": "b1", "name": "again"}')
    with_two_pointers = store.end_address - before
    store.save('{"n": 1000, "other": "b1", "title": "again"}')
    without_pointers = store.end_address - before - with_two_pointers
    assert with_two_pointers - without_pointers == 2 * 40  # one key pointer per projection
    with client(port) as requests:
        assert request(requests, documents(2000, 30).encode(), b"t")[0] == b"OK"
    second = store.snapshot()
    assert second["index"]["status"] == ext.Status.Ok and second["log"]["status"] == ext.Status.Ok
    assert second["log"]["offset"] > version
    end_of_second = store.end_address
    second_answers = answers(ext, store)
    store.stop()
    del store  # releases the directory lock so the next process may open the store

    (third,) = run_child(RECOVER_AND_REPORT, path, free_port(), second["index"]["token"], second["log"]["token"])
    assert third["end"] == end_of_second
    assert third["version"] == second["log"]["offset"]
    assert third["projections"] == ["/bucket", "/name"]
    assert third["stats"] == [0, 0]
    assert third["answers"] == second_answers


CRASHING_WRITER = """
    import time
    path, port = sys.argv[1], int(sys.argv[2])
    store = open_store(path, port)
    store.projection("/n")
    n = 0
    def save_some(count):
        global n
        store.save("".join(json.dumps({"n": i}) + "\\n" for i in range(n, n + count)))
        n += count
    for _ in range(20):
        save_some(25)
    report(acknowledged=n, end=store.end_address)
    result = store.snapshot()
    report(index=str(result["index"]["token"]), log=str(result["log"]["token"]), end=store.end_address,
           statuses=[int(result["index"]["status"]), int(result["log"]["status"])])
    while True:
        save_some(25)
"""


def test_recovery_after_sigkill_keeps_what_the_snapshot_covered(ext, tmp_path):
    path = str(tmp_path / "store")
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD_PRELUDE + textwrap.dedent(CRASHING_WRITER), path, str(free_port())],
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
    )
    lines = []
    try:
        deadline = time.monotonic() + CHILD_TIMEOUT_S
        while len(lines) < 2 and time.monotonic() < deadline:
            line = child.stdout.readline()
            if not line:
                break
            if line.startswith("REPORT "):
                lines.append(line)
        time.sleep(0.2 + (os.getpid() % 7) / 10)  # keep writing for a while after the snapshot
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=CHILD_TIMEOUT_S)
        child.stdout.close()
    before, snapshot = reports("".join(lines))
    assert snapshot["statuses"] == [0, 0]

    store, _ = make_store(ext, path)
    store.recover(snapshot["index"], snapshot["log"], 1)
    # Every save acknowledged before the snapshot is in the recovered log; nothing the
    # writer added once the snapshot had returned is.
    assert before["end"] <= store.end_address <= snapshot["end"]
    assert store.get_all_projections() == ["/n"]
    recovered = list(store.scan("/n", ext.ScanOperation.GE, [0], None, None))
    assert len(recovered) >= before["acknowledged"]
    assert all(address < snapshot["end"] for address in recovered)
    for n in (0, before["acknowledged"] // 2, before["acknowledged"] - 1):
        assert len(store.scan("/n", ext.ScanOperation.EQ, [n], None, None)) == 1, n  # by its chain
    # The recovered store takes new records and checkpoints them.
    store.save(documents(0, 3))
    again = store.snapshot()
    assert again["log"]["status"] == ext.Status.Ok
    store.stop()


def test_refused_recoveries_touch_nothing_and_leave_the_store_usable(ext, tmp_path):
    path = tmp_path / "store"
    source, _ = make_store(ext, path)
    source.projection("/a")
    source.save('{"a": 1}\n{"a": 2}\n')
    taken = source.snapshot()
    index, log = taken["index"]["token"], taken["log"]["token"]
    del source

    store, _ = make_store(ext, path)
    for bad in ("not-a-uuid", 12, "", str(index) + "0", "{" + str(index) + "}"):
        with pytest.raises(ValueError, match="not a UUID"):
            store.recover(bad, log, None)
        with pytest.raises(ValueError, match="not a UUID"):
            store.recover(index, bad, None)
    with pytest.raises(RuntimeError, match=r"^Unable to recover: cannot read the index checkpoint's metadata .*info\.dat \(IOError\)$"):
        store.recover(uuid.uuid4(), log, None)  # no such checkpoint
    with pytest.raises(TypeError):
        store.recover(index, log)

    # A naming file that lists a library is refused: nothing is loaded, nothing runs.
    naming = path / f"naming-checkpoint-{str(log).upper()}.txt"
    original = naming.read_text()
    lines = original.splitlines()
    field_count = int(lines[0])
    library_line = 1 + field_count
    assert lines[library_line] == "0"
    lines[library_line:library_line + 1] = ["1", str(tmp_path / "payload.so")]
    naming.write_text("\n".join(lines) + "\n")
    with pytest.raises(RuntimeError, match=r"^Unable to recover: naming file: lists 1 predicate libraries; .* \(Corruption\)$"):
        store.recover(index, log, None)
    assert not store.is_running() and store.get_all_projections() == []
    assert store.end_address == FIRST_ADDRESS

    # The refusals left the store fresh: the real checkpoint recovers into it.
    naming.write_text(original)
    version, workers = store.recover(index, log, 2)
    assert workers == 2 and store.get_all_projections() == ["/a"]
    with pytest.raises(RuntimeError, match="The server is already running"):
        store.recover(index, log, None)
    store.stop()
    with pytest.raises(RuntimeError, match="already ingested"):
        store.recover(index, log, None)

    # A store that has ingested on its own refuses before touching the engine.
    used, _ = make_store(ext, tmp_path / "used")
    used.save('{"a": 3}')
    end = used.end_address
    with pytest.raises(RuntimeError, match="already ingested"):
        used.recover(index, log, None)
    assert used.end_address == end and used.save('{"a": 4}') == 1


def test_snapshot_reports_each_half_and_an_empty_store_takes_none(ext, tmp_path):
    path = tmp_path / "store"
    store, _ = make_store(ext, path)
    assert store.snapshot() == {
        "index": {"status": ext.Status.NotFound, "token": 0},
        "log": {"token": 0, "status": ext.Status.NotFound, "serial": 0, "offset": 0},
    }
    assert not (path / "cpr-checkpoints").exists()
    store.save('{"a": 1}\n{"b": 2}')
    result = store.snapshot()
    assert list(result) == ["index", "log"]
    assert list(result["index"]) == ["status", "token"]
    assert list(result["log"]) == ["token", "status", "serial", "offset"]
    assert isinstance(result["index"]["token"], uuid.UUID) and isinstance(result["log"]["token"], uuid.UUID)
    assert result["index"]["token"] != result["log"]["token"]
    assert result["log"]["serial"] == 0  # the snapshot's own session inserted nothing
    # A checkpoint that cannot make its files reports IOError, never Ok, and no token.
    store.save('{"c": 3}')
    for name in ("cpr-checkpoints", "index-checkpoints"):
        (path / name).rename(path / (name + ".aside"))
        (path / name).write_text("in the way")
    try:
        failed = store.snapshot()
    finally:
        for name in ("cpr-checkpoints", "index-checkpoints"):
            (path / name).unlink()
            (path / (name + ".aside")).rename(path / name)
    assert failed["index"]["status"] == ext.Status.IOError and failed["index"]["token"] == 0
    assert failed["log"]["status"] == ext.Status.IOError and failed["log"]["token"] == 0
    assert store.save('{"d": 4}') == 1 and store.snapshot()["log"]["status"] == ext.Status.Ok


# (name, arguments, result check, whether another Python thread runs during the call)
def member_table(ext, store, tmp_path):
    missing = str(uuid.uuid4())
    return [
        ("snapshot", (), lambda r: isinstance(r, dict), False),
        ("run", (1,), lambda r: r is None, True),
        ("stop", (), lambda r: r is None, False),
        ("stats", (), lambda r: isinstance(r, tuple) and len(r) == 2, False),
        ("save", ('{"a": 1}',), lambda r: r == 1, True),
        ("projection", ("/a",), lambda r: isinstance(r, int), False),
        ("is_running", (), lambda r: r is False, False),
        ("lock_data_ingestion", (), lambda r: r is None, False),
        ("is_locked", (), lambda r: r is True, False),
        ("unlock_data_ingestion", (), lambda r: r is None, False),
        ("get_all_projections", (), lambda r: r == ["/a"], False),
        ("projection_exits", ("/a",), lambda r: r is True, False),
        ("create_new_projection", ("/b",), lambda r: isinstance(r, int), False),
        ("delete_projection", ("/b",), lambda r: r is None, False),
        ("delete_all_projections", (), lambda r: r is None, False),
    ]


def test_member_table_from_python(ext, tmp_path):
    store, _ = make_store(ext, tmp_path / "store")
    for name, arguments, check, lets_others_run in member_table(ext, store, tmp_path):
        method = getattr(store, name)
        with pytest.raises(TypeError):
            method(*arguments, None, None)  # no member takes extra arguments
        ticks = []
        stop = threading.Event()
        ticker = threading.Thread(target=lambda: [ticks.append(1) or time.sleep(0.001) for _ in iter(stop.is_set, True)])
        ticker.start()
        try:
            result = method(*arguments)
        finally:
            stop.set()
            ticker.join(5)
        assert check(result), (name, result)
        if lets_others_run:
            assert len(ticks) > 5, name
    with pytest.raises(TypeError):
        store.recover(uuid.uuid4(), uuid.uuid4())  # `workers` must be given, as None
    with pytest.raises(TypeError):
        store.recover(uuid.uuid4(), uuid.uuid4(), -1)
    with pytest.raises(TypeError):
        store.recover(index_token=uuid.uuid4(), log_token=uuid.uuid4(), workers=None)
    with pytest.raises(RuntimeError, match="already ingested"):
        store.recover(uuid.uuid4(), uuid.uuid4(), None)
    with pytest.raises(TypeError):
        store.save(data='{"a": 1}')
    with pytest.raises(AttributeError):
        store.end_address = 0

    # `projection` and `stop` run without the interpreter lock: a thread that waits on
    # the lock makes progress while they run.
    store.run(2)
    progressed = []
    blocker = threading.Thread(target=lambda: progressed.append(sum(range(200000))))
    blocker.start()
    store.projection("/c")
    store.stop()
    blocker.join(5)
    assert progressed and not store.is_running()


def test_checkpoints_recover_only_over_their_own_log(ext, tmp_path):
    """A store that starts a log of its own over a directory makes the checkpoints of the
    log it overwrites unrecoverable (Corruption, nothing loaded); a recovered store that
    writes on keeps the checkpoints of what it continued, up to where it continued.
    Recovered projections answer with the address they started indexing from, and
    snapshots of a store without records complete."""
    path = tmp_path / "store"

    def store_over(snapshot=None):
        store, _ = make_store(ext, path)
        if snapshot is not None:
            store.recover(snapshot["index"]["token"], snapshot["log"]["token"], 0)
        return store

    def refused(snapshot):
        store = store_over()
        with pytest.raises(RuntimeError, match=r"^Unable to recover: the checkpoint.* log .* \(Corruption\)$"):
            store.recover(snapshot["index"]["token"], snapshot["log"]["token"], 0)
        assert store.end_address == FIRST_ADDRESS and store.get_all_projections() == []

    def count(store, value):
        return len(store.scan("/a", ext.ScanOperation.IN, [value], None, None))

    first_store = store_over()
    first_store.save('{"a": "before"}')
    active_from = first_store.projection("/a")
    first_store.save('{"a": "old"}')
    first = first_store.snapshot()
    first_store.save('{"a": "later"}')
    second = first_store.snapshot()
    first_store.stop()
    del first_store

    recovered = store_over(first)
    assert recovered.projection("/a") == active_from
    assert (count(recovered, "old"), count(recovered, "later")) == (1, 0)
    recovered.save('{"a": "fork"}')  # overwrites what the second checkpoint covered
    recovered.stop()
    del recovered
    again = store_over(first)  # what the first covered is still there
    assert (count(again, "old"), count(again, "fork")) == (1, 0)
    again.stop()
    del again
    refused(second)

    fresh = store_over()
    assert fresh.save(b" \n\t ") == 0
    empty = fresh.snapshot()  # white space only: nothing to write, yet it completes
    assert empty["index"]["status"] == ext.Status.Ok and empty["log"]["status"] == ext.Status.Ok
    fresh.projection("/a")
    fresh.save('{"a": "NEW"}')
    third = fresh.snapshot()
    del fresh
    refused(first)
    newest = store_over(third)
    assert (count(newest, "NEW"), count(newest, "old")) == (1, 0)
    assert newest.projection("/a") == FIRST_ADDRESS
    newest.stop()
    del newest

    # A checkpoint from before logs had identities recovers unchecked; its projections
    # answer with where the recovery left the tail.
    (path / "cpr-checkpoints" / str(third["log"]["token"]).upper() / "origin.dat").unlink()
    legacy = store_over(third)
    assert legacy.projection("/a") == legacy.end_address > FIRST_ADDRESS
    legacy.stop()
