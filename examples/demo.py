"""The record server's main job, end to end, on real data: the world's airports.

    make demo

Turns the airports of the `airportsdata` package into JSON lines, creates a store in a
temporary directory, starts the ingestion service, sends the airports from a client in
another process over ZeroMQ, queries them through projections and by full scans, extracts
columns into an Arrow table, takes a snapshot, recovers it in a fresh process and checks
that the recovered store gives the same answers. Then runs the store as a service
(`python -m quillmark serve`), queries it from this process, stops it with SIGTERM and
restarts it into its final snapshot. Serves loopback only and leaves nothing running.
"""
import multiprocessing
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import pyarrow as pa

import quillmark

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from airports import airport_lines  # noqa: E402

LOG_SIZE = 256 * 1024 * 1024
BATCH_RECORDS = 1000
PROJECTED = ["/country", "/hemisphere"]
# (title, field, operation, operands): the first two go through projections, the others
# are full scans (their matches are printed by the store as it finds them).
QUERIES = [
    ("airports in New Zealand", "/country", "EQ", ["NZ"]),
    ("airports in the southern hemisphere", "/hemisphere", "EQ", ["S"]),
    ("the airport coded SFO (full scan)", "/iata", "EQ", ["SFO"]),
    ("airports above 4,400 m (full scan)", "/elevation_m", "GT", [4400]),
]
COLUMNS = [("icao", "String"), ("name", "String"), ("city", "String"), ("elevation_m", "Int"),
           ("lat", "Float"), ("lon", "Float")]

timings = []


class Step:
    """Prints a step's title, then its time when it ends, and keeps the time for the summary."""

    def __init__(self, title):
        self.title = title

    def __enter__(self):
        print(f"\n== {self.title}", flush=True)
        self.started = time.perf_counter()
        return self

    def __exit__(self, *exc):
        elapsed = time.perf_counter() - self.started
        timings.append((self.title, elapsed))
        print(f"   ({elapsed:.2f} s)", flush=True)


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def send_airports(endpoint, lines, replies):
    """Runs in a separate process: sends the airports in tagged batches, counts the replies."""
    batches = [(b"".join(lines[i:i + BATCH_RECORDS]), b"airports-%d" % (i // BATCH_RECORDS))
               for i in range(0, len(lines), BATCH_RECORDS)]
    with quillmark.Client(endpoint, timeout=30, window=8) as client:
        acknowledged = 0
        for tag in client.send_many(batches):
            acknowledged += 1
            if acknowledged % 10 == 0 or acknowledged == len(batches):
                print(f"   client: {acknowledged}/{len(batches)} batches acknowledged (last tag {tag.decode()})",
                      flush=True)
    replies.put((len(batches), acknowledged))


def extractor():
    E = quillmark.Extractor
    makers = {"String": lambda f: E.String(f, None), "Int": lambda f: E.Int(f, True, 64, None, None, None),
              "Float": lambda f: E.Float(f, 64, None, None, None)}
    return E.record([(name, makers[kind]("/" + name)) for name, kind in COLUMNS])


def answers(store, show):
    """Runs every query and the extraction; returns what they found, in comparable form."""
    found = {}
    for title, field, operation, operands in QUERIES:
        if show:
            print(f"-- {title}: {field} {operation} {operands}", flush=True)
        started = time.perf_counter()
        bitmap = store.scan(field, getattr(quillmark.ScanOperation, operation), operands, None, None)
        elapsed = time.perf_counter() - started
        found[title] = list(bitmap)
        if show:
            print(f"   {len(bitmap)} records in {elapsed * 1e3:.2f} ms", flush=True)
    new_zealand = store.scan("/country", quillmark.ScanOperation.EQ, ["NZ"], None, None)
    table = quillmark.to_table(store.extract(extractor(), new_zealand))
    return found, table


def recover_and_answer(directory, tokens, results):
    """Runs in a fresh process: recovers the snapshot and answers the same questions."""
    started = time.perf_counter()
    store = quillmark.JSONStore(LOG_SIZE, directory, free_port())
    store.set_listen_address("127.0.0.1")
    version, workers = store.recover(tokens[0], tokens[1], 1)
    store.stop()
    recovered_in = time.perf_counter() - started
    # The recovered store knows its projections again: the queries below take the same paths.
    found, table = answers(store, show=False)
    results.put((version, workers, recovered_in, found, table.to_pylist()))


def main():
    started = time.perf_counter()
    print(f"quillmark with simdjson {quillmark.simdjson_version()}, ZeroMQ {'.'.join(map(str, quillmark.zmq_version()))}"
          f", pyarrow {pa.__version__}")
    with Step("Airports of the airportsdata package as JSON lines"):
        lines = airport_lines()
        size = sum(map(len, lines))
        print(f"   {len(lines):,} airports, {size / 2**20:.1f} MB; for example:\n   {lines[0].decode().strip()}")

    with tempfile.TemporaryDirectory(prefix="quillmark-demo-") as temporary:
        directory = os.path.join(temporary, "store")
        port = free_port()
        with Step("Create the store and its projections"):
            store = quillmark.JSONStore(LOG_SIZE, directory, port)
            store.set_listen_address("127.0.0.1")  # this demo serves loopback only
            for field in PROJECTED:
                print(f"   projection {field} active from log address {store.projection(field)}")

        with quillmark.running(store, 2):
            with Step("Send the airports from a client process over ZeroMQ (2 write workers)"):
                replies = multiprocessing.Queue()
                client = multiprocessing.Process(target=send_airports,
                                                 args=(f"tcp://127.0.0.1:{port}", lines, replies))
                client.start()
                sent, acknowledged = replies.get(timeout=120)
                client.join(timeout=30)
                bytes_ingested, records_ingested = store.stats()
                print(f"   {acknowledged}/{sent} batches acknowledged; the store counted {records_ingested:,} "
                      f"records, {bytes_ingested / 2**20:.1f} MB")
                assert acknowledged == sent and records_ingested == len(lines), "records were lost"
            with Step("A malformed batch is refused as a whole"):
                with quillmark.Client(f"tcp://127.0.0.1:{port}", timeout=10) as client:
                    try:
                        client.send(b'{"icao": "XXXX", "country": "ZZ"}\n{"icao": ', tag=b"broken")
                    except quillmark.BadDataError as error:
                        print(f"   refused: {error}")
                print(f"   records still {store.stats()[1]:,}")

        with Step("Queries: indexed through projections, then full scans"):
            found, table = answers(store, show=True)
        with Step("Extract columns of the New Zealand airports into an Arrow table"):
            print(table.slice(0, 8).to_pandas().to_string() if _has_pandas() else table.slice(0, 8))
            print(f"   {table.num_rows} rows, {table.num_columns} columns: {table.schema.names}")

        if not hasattr(store, "snapshot"):
            print("\n== Snapshot and recovery are not in this build of the module; skipped")
            del store
            return summary(started)
        with Step("Snapshot"):
            snapshot = store.snapshot()
            tokens = (str(snapshot["index"]["token"]), str(snapshot["log"]["token"]))
            print(f"   index {tokens[0]} ({snapshot['index']['status']}), log {tokens[1]} "
                  f"({snapshot['log']['status']})")
        del store

        with Step("Recover the snapshot in a fresh process and ask again"):
            spawn = multiprocessing.get_context("spawn")  # a fresh interpreter, nothing inherited
            results = spawn.Queue()
            fresh = spawn.Process(target=recover_and_answer, args=(directory, tokens, results))
            fresh.start()
            version, workers, recovered_in, recovered, rows = results.get(timeout=120)
            fresh.join(timeout=30)
            print(f"   recovered version {version} with {workers} worker(s) in {recovered_in:.2f} s "
                  f"(including recover's 1 s pause)")
            for title in found:
                same = "identical" if recovered[title] == found[title] else "DIFFERENT"
                print(f"   {title}: {len(recovered[title])} records, {same}")
            same_table = rows == table.to_pylist()
            print(f"   extracted table: {'identical' if same_table else 'DIFFERENT'}")
            assert recovered == found and same_table, "the recovered store answers differently"

        serve_the_airports(os.path.join(temporary, "service"), lines)

    summary(started)


def start_service(directory, port, query_port):
    """`python -m quillmark serve` in a child process; returns it once it printed its start line."""
    command = [sys.executable, "-m", "quillmark", "serve", directory, "--port", str(port), "--query-port",
               str(query_port), "--log-memory", "256MiB", "--project", "/country", "--log-level", "warning"]
    service = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    for line in service.stdout:
        show_service_line(line)
        if line.startswith("quillmark: "):
            return service
    raise RuntimeError(f"the service did not start (exit code {service.wait()})")


def show_service_line(line):
    if "] [debug] " not in line and "] [info] " not in line:  # the store's progress lines
        print(f"   service: {line.strip()}", flush=True)


def stop_service(service):
    service.send_signal(signal.SIGTERM)
    for line in service.stdout:
        show_service_line(line)
    assert service.wait(timeout=60) == 0, "the service did not stop cleanly"


def serve_the_airports(directory, lines):
    port, query_port = free_port(), free_port()
    columns = [["icao", "String", "/icao", None], ["name", "String", "/name", None]]
    with Step("The store as a service: `python -m quillmark serve`, asked from another process"):
        service = start_service(directory, port, query_port)
        with quillmark.Client(f"tcp://127.0.0.1:{port}", timeout=30) as client:
            batches = [(b"".join(lines[i:i + BATCH_RECORDS]), b"%d" % i) for i in range(0, len(lines), BATCH_RECORDS)]
            acknowledged = sum(1 for _ in client.send_many(batches))
        print(f"   Client: {acknowledged}/{len(batches)} batches acknowledged")
        with quillmark.QueryClient(f"tcp://127.0.0.1:{query_port}", timeout=30) as queries:
            before = queries.query("/country", "EQ", ["NZ"], columns)
            print(f"   QueryClient: {before.num_rows} New Zealand airports, stats {queries.stats()}")
        stop_service(service)
    with Step("Restart the service on the same directory: it recovers its final snapshot"):
        service = start_service(directory, port, query_port)
        with quillmark.QueryClient(f"tcp://127.0.0.1:{query_port}", timeout=30) as queries:
            after = queries.query("/country", "EQ", ["NZ"], columns)
        print(f"   {after.num_rows} New Zealand airports, {'identical' if after.equals(before) else 'DIFFERENT'}")
        stop_service(service)
        assert after.equals(before), "the restarted service answers differently"


def summary(started):
    print("\n== Timings")
    for title, elapsed in timings:
        print(f"   {elapsed:7.2f} s  {title}")
    print(f"   {time.perf_counter() - started:7.2f} s  in all")


def _has_pandas():
    try:
        import pandas  # noqa: F401
        return True
    except ImportError:
        return False


if __name__ == "__main__":
    main()
