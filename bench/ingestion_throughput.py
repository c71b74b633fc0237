"""Ingestion throughput: the ZeroMQ service with 1 and 2 write workers, fed by a client in
a separate process, next to direct saves of the same batches in the same run.

    PYTHONPATH=build/python .venv/bin/python bench/ingestion_throughput.py [--megabytes 32]

The server's log lines go to a file so that the terminal does not slow it down. `save`
sleeps 100 ms after each batch to let other Python threads run, far longer than the
insertion itself; the direct figure therefore sums the times of the "Direct save
operation" log lines (session, insertion and counters, without the pause).
"""
import argparse
import re
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from generate_records import generate_lines  # noqa: E402

import _quillmark_rec_server_extension as ext  # noqa: E402

LOG_SIZE = 512 * 1024 * 1024
DIRECT_LINE = re.compile(r"Direct save operation: \d+ bytes and \d+ records in ([0-9.e+-]+)")

CLIENT = r"""
import sys, time, zmq
port, path, window = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
batches = open(path, "rb").read().split(b"\0")
context = zmq.Context()
dealer = context.socket(zmq.DEALER)
dealer.setsockopt(zmq.LINGER, 0)
dealer.setsockopt(zmq.RCVTIMEO, 30000)
dealer.connect(f"tcp://127.0.0.1:{port}")
started = time.perf_counter()
sent = answered = failed = 0
while answered < len(batches):
    while sent < len(batches) and sent - answered < window:
        # Zero-copy: the client shares the machine with the service, and copying each
        # batch into a message of its own would take cores from it.
        dealer.send_multipart([b"", batches[sent], b"%d" % sent], copy=False)
        sent += 1
    reply = dealer.recv_multipart()
    answered += 1
    failed += reply[1] != b"OK"
print(time.perf_counter() - started, failed)
"""


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_batches(megabytes, records_per_batch):
    lines = list(generate_lines(megabytes=megabytes))
    return [b"".join(lines[i:i + records_per_batch]) for i in range(0, len(lines), records_per_batch)], len(lines)


def direct(batches, directory, log_path):
    store = ext.JSONStore(LOG_SIZE, os.path.join(directory, "direct"), free_port())
    start = os.path.getsize(log_path)
    for batch in batches:
        store.save(batch)
    with open(log_path, "rb") as log:
        log.seek(start)
        times = [float(m) for m in DIRECT_LINE.findall(log.read().decode(errors="replace"))]
    assert len(times) == len(batches), len(times)
    return sum(times)


def service(batches, directory, workers, window, projections=()):
    port = free_port()
    store = ext.JSONStore(LOG_SIZE, os.path.join(directory, f"service{workers}"), port)
    store.set_listen_address("127.0.0.1")
    for field in projections:
        store.projection(field)
    store.run(workers)
    path = os.path.join(directory, "batches.bin")
    with open(path, "wb") as out:
        out.write(b"\0".join(batches))
    result = subprocess.run([sys.executable, "-c", CLIENT, str(port), path, str(window)],
                            capture_output=True, text=True, timeout=600, check=True)
    elapsed, failed = result.stdout.split()
    records = store.stats()[1]
    store.stop()
    return float(elapsed), int(failed), records


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--megabytes", type=float, default=32)
    parser.add_argument("--records-per-batch", type=int, default=1000)
    parser.add_argument("--window", type=int, default=8, help="requests in flight from the client")
    args = parser.parse_args()
    batches, records = make_batches(args.megabytes, args.records_per_batch)
    size = sum(len(b) for b in batches)

    report = os.fdopen(os.dup(1), "w")
    log_file = tempfile.NamedTemporaryFile(prefix="ingestion-log-", delete=False)
    os.dup2(log_file.fileno(), 1)

    def line(name, seconds):
        report.write(f"{name:<22} {records / seconds:>12,.0f} records/s {size / seconds / 2**20:>9.1f} MB/s\n")
        report.flush()

    report.write(f"{records} records, {size / 2**20:.1f} MB, {len(batches)} batches of "
                 f"{args.records_per_batch}\n")
    with tempfile.TemporaryDirectory() as directory:
        direct_seconds = direct(batches, directory, log_file.name)
        line("save (direct)", direct_seconds)
        for workers in (1, 2):
            seconds, failed, inserted = service(batches, directory, workers, args.window)
            assert failed == 0 and inserted == records, (failed, inserted, records)
            line(f"service, {workers} worker(s)", seconds)
            report.write(f"{'':<22} {direct_seconds / seconds:>12.0%} of direct\n")
    os.unlink(log_file.name)


if __name__ == "__main__":
    main()
