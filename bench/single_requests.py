"""Single-record requests over ZeroMQ: the store's service next to plain pyzmq echo servers.

Every contender answers the same requests (one JSON record each, with a request identifier)
from a client in another process on loopback:
  - the store's service with 2 write workers, the client keeping `window` requests in flight
    (DEALER);
  - a pyzmq REP echo with a REQ client, one request at a time: what one round trip costs;
  - a pyzmq ROUTER echo with the same pipelining DEALER client: what the messaging alone
    allows at that window.
The echo servers reply "OK" and the identifier without looking at the record.
"""
import os
import subprocess
import sys

CLIENT = r"""
import sys, time, zmq
port, path, window = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
records = open(path, "rb").read().split(b"\0")
context = zmq.Context()
socket = context.socket(zmq.REQ if window == 0 else zmq.DEALER)
socket.setsockopt(zmq.LINGER, 0)
socket.setsockopt(zmq.RCVTIMEO, 30000)
socket.connect(f"tcp://127.0.0.1:{port}")
started = time.perf_counter()
sent = answered = failed = 0
if window == 0:
    for number, record in enumerate(records):
        socket.send_multipart([record, b"%d" % number])
        failed += socket.recv_multipart()[0] != b"OK"
    answered = len(records)
while answered < len(records):
    while sent < len(records) and sent - answered < window:
        socket.send_multipart([b"", records[sent], b"%d" % sent])
        sent += 1
    answered += 1
    failed += socket.recv_multipart()[1] != b"OK"
print(time.perf_counter() - started, failed)
"""

# Answers `count` requests, then exits; gives up after 30 s without a request.
ECHO = r"""
import sys, zmq
port, count, pipelined = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3] == "1"
context = zmq.Context()
socket = context.socket(zmq.ROUTER if pipelined else zmq.REP)
socket.setsockopt(zmq.LINGER, 1000)
socket.bind(f"tcp://127.0.0.1:{port}")
print("ready", flush=True)
for _ in range(count):
    if not socket.poll(30000):
        sys.exit("echo: no request for 30 s")
    frames = socket.recv_multipart()
    socket.send_multipart(frames[:2] + [b"OK", frames[-1]] if pipelined else [b"OK", frames[-1]])
"""


def run_client(port, path, window):
    result = subprocess.run([sys.executable, "-c", CLIENT, str(port), path, str(window)],
                            capture_output=True, text=True, timeout=600, check=True)
    seconds, failed = result.stdout.split()
    return float(seconds), int(failed)


def echo(port, path, count, window):
    server = subprocess.Popen([sys.executable, "-c", ECHO, str(port), str(count), "1" if window else "0"],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline().strip() == "ready"
        seconds, failed = run_client(port, path, window)
        assert server.wait(timeout=60) == 0
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
    assert failed == 0
    return count / seconds


def child(config, free_port):
    """Requests per second of the store (2 workers, pipelined) and of the two echo servers."""
    import quillmark

    log = open(os.path.join(config["work"], "server.log"), "ab")
    os.dup2(log.fileno(), 1)
    with open(config["data"], "rb") as data:
        records = [data.readline() for _ in range(config["requests"])]
    records = [record for record in records if record]
    path = os.path.join(config["work"], "requests.bin")
    with open(path, "wb") as out:
        out.write(b"\0".join(records))
    window = config["window"]
    result = {"requests": len(records), "window": window}
    result["echo_rps"] = echo(free_port(), path, len(records), 0)
    result["echo_pipelined_rps"] = echo(free_port(), path, len(records), window)

    port = free_port()
    store = quillmark.JSONStore(256 << 20, os.path.join(config["work"], "store-requests"), port)
    store.set_listen_address("127.0.0.1")
    for field in config["projections"]:
        store.projection(field)
    store.run(2)
    try:
        seconds, failed = run_client(port, path, window)
        stored = store.stats()[1]
    finally:
        store.stop()
    assert failed == 0 and stored == len(records), (failed, stored, len(records))
    result["store_rps"] = len(records) / seconds
    return result
