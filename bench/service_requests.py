"""Cost per request of the ZeroMQ service: the airports in batches of N records and one
record per request, next to direct saves of the same batches and to a plain pyzmq echo
server answering the same requests, in one run.

    PYTHONPATH=build/python .venv/bin/python bench/service_requests.py [--records-per-batch 1000]

The client runs in a process of its own and keeps `--window` requests in flight (a
pipelining DEALER). The echo server is a pyzmq REP socket in another process that answers
["OK", tag] without looking at the payload: the floor that messaging alone costs.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ingestion_throughput  # noqa: E402
from airports import airport_lines  # noqa: E402

ECHO = r"""
import sys, zmq
context = zmq.Context()
socket = context.socket(zmq.REP)
socket.bind("tcp://127.0.0.1:%s" % sys.argv[1])
print("ready", flush=True)
poller = zmq.Poller()
poller.register(socket, zmq.POLLIN)
while poller.poll(5000):  # ends by itself once the client has been quiet for 5 s
    payload, tag = socket.recv_multipart()
    socket.send_multipart([b"OK", tag])
"""


def direct(batches, directory, log_path, projections):
    """Seconds of engine work that direct saves of `batches` take, from their log lines."""
    store = ingestion_throughput.ext.JSONStore(ingestion_throughput.LOG_SIZE, directory,
                                               ingestion_throughput.free_port())
    for field in projections:
        store.projection(field)
    start = os.path.getsize(log_path)
    for batch in batches:
        store.save(batch)
    with open(log_path, "rb") as log:
        log.seek(start)
        times = [float(t) for t in ingestion_throughput.DIRECT_LINE.findall(log.read().decode(errors="replace"))]
    assert len(times) == len(batches), len(times)
    return sum(times)


def echo(batches, directory, window):
    """Seconds the client takes for `batches` against the pyzmq echo server."""
    port = ingestion_throughput.free_port()
    server = subprocess.Popen([sys.executable, "-c", ECHO, str(port)], stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline().strip() == "ready"
        path = os.path.join(directory, "batches.bin")
        with open(path, "wb") as out:
            out.write(b"\0".join(batches))
        result = subprocess.run([sys.executable, "-c", ingestion_throughput.CLIENT, str(port), path, str(window)],
                                capture_output=True, text=True, timeout=600, check=True)
        elapsed, failed = result.stdout.split()
        assert int(failed) == 0
        return float(elapsed)
    finally:
        server.kill()
        server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--records-per-batch", type=int, default=1000)
    parser.add_argument("--single", type=int, default=20000, help="single-record requests to send (0: none)")
    parser.add_argument("--window", type=int, default=8, help="requests in flight from the client")
    parser.add_argument("--projections", default="/country,/tz")
    parser.add_argument("--rounds", type=int, default=3, help="each figure is the median of this many runs, "
                        "the contenders taking turns so that a change of load meets them all")
    args = parser.parse_args()
    lines = airport_lines()
    step = args.records_per_batch
    batches = [b"".join(lines[i:i + step]) for i in range(0, len(lines), step)]
    singles = (lines * (args.single // len(lines) + 1))[:args.single]
    projections = [field for field in args.projections.split(",") if field]

    # As bench/run.py runs it: info lines (the direct-save times are read from them), not
    # the per-request debug lines the bare module writes by default.
    ingestion_throughput.ext.set_log_level("info")
    report = os.fdopen(os.dup(1), "w")
    log_file = tempfile.NamedTemporaryFile(prefix="service-requests-log-", delete=False)
    os.dup2(log_file.fileno(), 1)  # the server's log lines stay out of the report

    def served(requests, workers, directory):
        seconds, failed, inserted = ingestion_throughput.service(requests, directory, workers, args.window,
                                                                 projections)
        assert failed == 0 and inserted == sum(request.count(b"\n") for request in requests), (failed, inserted)
        return seconds

    # name -> (its requests, run(empty directory) -> seconds)
    contenders = {
        "save (direct)": (batches, lambda d: direct(batches, d, log_file.name, projections)),
        "service, 1 worker": (batches, lambda d: served(batches, 1, d)),
        "service, 2 workers": (batches, lambda d: served(batches, 2, d)),
    }
    if args.single:
        contenders["single records, pyzmq echo"] = (singles, lambda d: echo(singles, d, args.window))
        contenders["single records, service, 2 workers"] = (singles, lambda d: served(singles, 2, d))
    load = os.getloadavg()[0]
    times = {name: [] for name in contenders}
    for _ in range(args.rounds):
        for name, (_, run) in contenders.items():
            with tempfile.TemporaryDirectory() as directory:
                times[name].append(run(directory))
    report.write(f"{len(lines)} airports in batches of {step}, {len(singles)} single-record requests, "
                 f"window {args.window}; median of {args.rounds} rounds; load {load:.2f} at the start, "
                 f"{os.getloadavg()[0]:.2f} at the end\n")
    for name, (requests, _) in contenders.items():
        seconds = statistics.median(times[name])
        records = sum(request.count(b"\n") for request in requests)
        size = sum(map(len, requests))
        report.write(f"{name:<36} {len(requests) / seconds:>10,.0f} requests/s {records / seconds:>12,.0f} "
                     f"records/s {size / seconds / 2**20:>8.1f} MB/s\n")
    os.unlink(log_file.name)


if __name__ == "__main__":
    main()
