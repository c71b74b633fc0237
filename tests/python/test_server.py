"""The record server as a service: restarts into its last snapshot with the same answers,
loses at most what came after the last snapshot when killed, answers every malformed
query with ERR and goes on, keeps its manifest naming good snapshots only, and admits
only known CURVE keys."""
import json
import os
import signal
import subprocess
import sys
import threading
import time

import pytest
import zmq

import quillmark
import quillmark.server
from quillmark.__main__ import main
from quillmark.keys import SERVER_PUBLIC, create_keys
from store_helpers import LOG_SIZE, free_port

DOCUMENTS = [{"icao": "A%03d" % i, "country": "NZ" if i % 3 == 0 else "US", "elevation": i} for i in range(60)]
COLUMNS = [["icao", "String", "/icao", None], ["elevation", "Int", "/elevation", True, 64, None, None, None]]
PACKAGE_PATH = os.path.dirname(os.path.dirname(quillmark.__file__))


def make_server(directory, **options):
    settings = dict(port=0, query_port=0, log_memory=LOG_SIZE, threads=1, snapshot_every=0)
    settings.update(options)
    return quillmark.RecordServer(directory, **settings)


def ingest(endpoint, documents, curve=None, timeout=10.0):
    with quillmark.Client(endpoint, timeout=timeout, curve=curve) as client:
        client.send_records(documents)


def answers(queries):
    """Indexed and full-scan answers, an extraction and a combined query, comparable."""
    return {"indexed": list(queries.scan("/country", "EQ", ["NZ"])),
            "full scan": list(queries.scan("/elevation", quillmark.ScanOperation.GT, [50])),
            "extract": queries.extract(COLUMNS, queries.scan("/elevation", "LT", [5])).to_pylist(),
            "query": queries.query("/country", "EQ", ["NZ"], COLUMNS).to_pylist(),
            "projections": queries.projections()}


def manifest(directory):
    with open(os.path.join(directory, quillmark.server.MANIFEST)) as file:
        return json.load(file)["snapshots"]


def wait_for(condition, seconds=15.0):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def test_stop_and_restart_give_the_same_answers(tmp_path, capfd):
    directory = tmp_path / "store"
    with make_server(directory, projections=["/country"]) as first:
        ingest(first.ingestion_endpoint, DOCUMENTS[:30])
        ingest(first.ingestion_endpoint, DOCUMENTS[30:])
        with quillmark.QueryClient(first.query_endpoint, timeout=10) as queries:
            before = answers(queries)
            assert queries.stats()["records"] == 60
    assert len(before["indexed"]) == 20 and len(before["full scan"]) == 9
    assert '"A055"' not in capfd.readouterr().out  # full scans list nothing on the service's output
    assert [row["icao"] for row in before["extract"]] == ["A000", "A001", "A002", "A003", "A004"]
    assert [entry["records"] for entry in manifest(directory)] == [60]

    second = make_server(directory)
    message = second.start()
    assert "recovered" in message and "60 records" in message
    try:
        with quillmark.QueryClient(second.query_endpoint, timeout=10) as queries:
            assert answers(queries) == before
            # The recovered projection indexes new records too.
            ingest(second.ingestion_endpoint, [{"icao": "NEW", "country": "NZ", "elevation": 1}])
            assert len(queries.scan("/country", "EQ", ["NZ"])) == 21
            assert queries.snapshot()["records"] == 61
    finally:
        second.stop()


def test_restart_falls_back_past_a_damaged_snapshot_and_never_over_an_unreadable_manifest(tmp_path):
    directory = tmp_path / "store"
    with make_server(directory, keep=2) as server:
        ingest(server.ingestion_endpoint, DOCUMENTS[:10])
        server.snapshot()
        ingest(server.ingestion_endpoint, DOCUMENTS[10:20])
    older, newer = manifest(directory)
    os.remove(directory / "cpr-checkpoints" / newer["log_token"] / "info.dat")
    with make_server(directory) as server:
        assert server.store.end_address == older["end_address"]
        ingest(server.ingestion_endpoint, DOCUMENTS[20:25])
    assert [entry["records"] for entry in manifest(directory)] == [10, 15]  # the damaged one is gone
    (directory / quillmark.server.MANIFEST).write_text("{not json")
    with pytest.raises(ValueError, match="unreadable manifest"):
        make_server(directory).start()


# (frames, part of the ERR message). Every one is answered and the server goes on.
MALFORMED = [
    ([b"not json"], "not JSON"),
    ([b"[1, 2]"], "JSON object"),
    ([b'{"request": "drop"}'], "unknown request"),
    ([b'{"request": "stats"}', b"extra"], "takes 1 frame"),
    ([b'{"request": "scan", "operation": "EQ", "operands": [1]}'], '"name"'),
    ([b'{"request": "scan", "name": "/a", "operation": "LIKE", "operands": [1]}'], '"operation"'),
    ([b'{"request": "scan", "name": "/a", "operation": "EQ", "operands": 1}'], '"operands"'),
    ([b'{"request": "scan", "name": "/a", "operation": "EQ", "operands": [{"x": 1}]}'], "operand"),
    ([b'{"request": "scan", "name": "/a", "operation": "EQ", "operands": [1], "from": -1}'], '"from"'),
    ([b'{"request": "scan", "name": "/a", "operation": "EQ", "operands": [1], "to": true}'], '"to"'),
    ([b'{"request": "scan", "name": "/a", "operation": "DEF", "operands": [1]}'], "IndexError"),
    ([b'{"request": "scan", "name": "/a", "operation": "EQ", "operands": []}'], "ValueError"),
    ([b'{"request": "extract", "columns": [["a", "String", "/a", null]]}'], "takes 2 frame"),
    ([b'{"request": "extract", "columns": [["a", "String", "/a", null]]}', b"\x01\x02"], "bitmap"),
    ([b'{"request": "query", "name": "/a", "operation": "EQ", "operands": [1]}'], '"columns"'),
    ([b'{"request": "query", "name": "/a", "operation": "EQ", "operands": [1], "columns": [["a", "Eval"]]}'],
     "factory"),
    ([b'{"request": "query", "name": "/a", "operation": "EQ", "operands": [1], "columns": [["a", "Int", "/a"]]}'],
     "column"),
    ([b'{"request": "projection", "name": ""}'], "ValueError"),
    ([b'{"request": "projection"}'], '"name"'),
]


def test_malformed_query_requests_are_answered_with_err(tmp_path):
    with make_server(tmp_path / "store", max_message=1 << 16) as server:
        ingest(server.ingestion_endpoint, DOCUMENTS[:3])
        context = zmq.Context()
        raw = context.socket(zmq.REQ)
        raw.setsockopt(zmq.RCVTIMEO, 5000)
        raw.setsockopt(zmq.LINGER, 0)
        raw.connect(server.query_endpoint)
        try:
            for frames, message in MALFORMED:
                raw.send_multipart(frames)
                reply = raw.recv_multipart()
                assert reply[0] == b"ERR" and len(reply) == 2, frames
                assert message.encode() in reply[1], (frames, reply)
        finally:
            raw.close()
            context.term()
        with quillmark.QueryClient(server.query_endpoint, timeout=10) as queries:
            with pytest.raises(quillmark.QueryError, match="unknown request"):
                queries.request({"request": "nothing"})
            assert len(queries.scan("/country", "EQ", ["NZ"])) == 1
            assert queries.extract(COLUMNS, quillmark.Bitmap()).column_names == ["icao", "elevation"]
        # Requests beyond max_message are dropped unread on both endpoints; service goes on.
        huge = [{"icao": "X" * (1 << 16)}]
        with pytest.raises(quillmark.ReplyTimeout):
            ingest(server.ingestion_endpoint, huge, timeout=1.0)
        with quillmark.QueryClient(server.query_endpoint, timeout=1.0) as queries:
            with pytest.raises(quillmark.ReplyTimeout):
                queries.scan("/icao", "EQ", [huge[0]["icao"]])
        ingest(server.ingestion_endpoint, DOCUMENTS[3:4])
        with quillmark.QueryClient(server.query_endpoint, timeout=10) as queries:
            assert queries.stats()["records"] == 4


def test_scheduled_snapshots_keep_the_manifest_on_good_snapshots_only(tmp_path, monkeypatch):
    directory = tmp_path / "store"
    real_write = quillmark.server.write_manifest
    failures, checked = [], threading.Event()

    def failing_once(*arguments):
        failures.append(1)
        if len(failures) == 1:
            raise OSError("disk full")
        checked.wait(10)  # the retry waits until the test has looked at the manifest
        real_write(*arguments)

    with make_server(directory, snapshot_every=0.1, keep=2) as server:
        ingest(server.ingestion_endpoint, DOCUMENTS[:10])
        wait_for(lambda: os.path.exists(directory / quillmark.server.MANIFEST))
        good = manifest(directory)
        monkeypatch.setattr(quillmark.server, "write_manifest", failing_once)
        ingest(server.ingestion_endpoint, DOCUMENTS[10:20])
        wait_for(lambda: failures)
        assert manifest(directory) == good  # still the last good snapshot
        checked.set()
        wait_for(lambda: len(manifest(directory)) == 2)  # retried at the next tick
        for start in (20, 30):
            ingest(server.ingestion_endpoint, DOCUMENTS[start:start + 10])
            wait_for(lambda: manifest(directory)[-1]["records"] == start + 10)
    kept = manifest(directory)
    assert [entry["records"] for entry in kept] == [30, 40]
    assert sorted(os.listdir(directory / "index-checkpoints")) == sorted(e["index_token"] for e in kept)
    assert sorted(os.listdir(directory / "cpr-checkpoints")) == sorted(e["log_token"] for e in kept)


def _serve(directory, port, query_port, output):
    environment = dict(os.environ, PYTHONPATH=PACKAGE_PATH + os.pathsep + os.environ.get("PYTHONPATH", ""))
    with open(output, "wb") as sink:
        process = subprocess.Popen(
            [sys.executable, "-m", "quillmark", "serve", str(directory), "--port", str(port), "--query-port",
             str(query_port), "--log-memory", "192MiB", "--threads", "1", "--snapshot-every", "0", "--project",
             "/country", "--log-level", "warning"],
            stdout=sink, stderr=subprocess.STDOUT, env=environment)
    wait_for(lambda: b"quillmark: " in open(output, "rb").read() or process.poll() is not None, 60)
    first_line = open(output, "rb").read().decode(errors="replace")
    assert process.poll() is None, first_line
    return process, first_line


def test_command_line_stops_on_sigterm_and_recovers_after_kill(tmp_path):
    directory, output = tmp_path / "store", tmp_path / "output"
    port, query_port = free_port(), free_port()
    ingestion, query = f"tcp://127.0.0.1:{port}", f"tcp://127.0.0.1:{query_port}"

    process, line = _serve(directory, port, query_port, output)
    assert "new store with projections /country" in line and query in line
    ingest(ingestion, DOCUMENTS[:40])
    with quillmark.QueryClient(query, timeout=10) as queries:
        before = answers(queries)
    # SIGTERM while a writer keeps sending: what was acknowledged is in the final snapshot,
    # what was not was never inserted.
    acknowledged = []

    def writer():
        batches = ([{"w": n * 10 + i} for i in range(10)] for n in range(100000))
        with quillmark.Client(ingestion, timeout=3.0, window=4) as client:
            try:
                for _ in client.send_many((quillmark.client.encode_records(batch), b"") for batch in batches):
                    acknowledged.append(1)
            except (quillmark.ReplyTimeout, quillmark.IngestionError):
                pass

    sending = threading.Thread(target=writer)
    sending.start()
    wait_for(lambda: len(acknowledged) >= 5)
    process.send_signal(signal.SIGTERM)
    assert process.wait(timeout=60) == 0
    sending.join(timeout=30)
    written = 10 * len(acknowledged)

    process, line = _serve(directory, port, query_port, output)
    assert "recovered" in line and f"{40 + written} records" in line
    with quillmark.QueryClient(query, timeout=10) as queries:
        assert answers(queries) == before
        assert len(queries.scan("/w", "GE", [0])) == written
        ingest(ingestion, DOCUMENTS[40:50])
        assert queries.snapshot()["records"] == 50 + written
        ingest(ingestion, DOCUMENTS[50:])  # after the last snapshot: may be lost
    process.kill()
    process.wait(timeout=30)

    process, line = _serve(directory, port, query_port, output)
    try:
        assert "recovered" in line and f"{50 + written} records" in line
        with quillmark.QueryClient(query, timeout=10) as queries:
            table = queries.query("/elevation", "GE", [0], COLUMNS)
        assert sorted(table.column("icao").to_pylist())[:50] == [d["icao"] for d in DOCUMENTS[:50]]
        assert table.num_rows <= 60
    finally:
        process.send_signal(signal.SIGTERM)
        assert process.wait(timeout=60) == 0


def test_curve_admits_known_keys_only(tmp_path, capfd, caplog):
    keys, stranger = tmp_path / "keys", tmp_path / "stranger"
    assert main(["keys", str(keys)]) == 0
    create_keys(stranger)  # a client key the server does not know, with the right server key
    (stranger / SERVER_PUBLIC).write_bytes((keys / SERVER_PUBLIC).read_bytes())
    with make_server(tmp_path / "store", curve=keys) as server:
        ingest(server.ingestion_endpoint, DOCUMENTS[:5], curve=keys)
        with quillmark.QueryClient(server.query_endpoint, timeout=10, curve=keys) as queries:
            assert queries.stats()["records"] == 5
        for curve in (stranger, None):
            with pytest.raises(quillmark.ReplyTimeout):
                ingest(server.ingestion_endpoint, DOCUMENTS[5:], curve=curve, timeout=1.0)
            with quillmark.QueryClient(server.query_endpoint, timeout=1.0, curve=curve) as queries:
                with pytest.raises(quillmark.ReplyTimeout):
                    queries.stats()
        assert server.store.stats()[1] == 5
    # Both endpoints log both refusals: the unknown key, and the client without keys.
    logged = capfd.readouterr().out
    assert "unknown CURVE key" in logged and "handshake failed" in logged
    assert "unknown CURVE key" in caplog.text and "handshake failed" in caplog.text


def test_sizes_and_refusals_of_the_command_line(capsys):
    from quillmark.__main__ import byte_size

    assert [byte_size(text) for text in ("1GiB", "256MiB", "192M", "64k", "4096")] == [
        1 << 30, 256 << 20, 192 << 20, 64 << 10, 4096]
    for text in ("1.5G", "-1", "10 PB", ""):
        with pytest.raises(Exception, match="not a size"):
            byte_size(text)
    # Settings that could never serve are refused before anything is created.
    for option in (["--threads", "0"], ["--keep", "0"], ["--snapshot-every", "-1"]):
        assert main(["serve", "/nonexistent/store", *option]) == 1
        assert "could not start" in capsys.readouterr().err
