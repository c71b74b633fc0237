"""Single-record requests over ZeroMQ: the store's service next to plain pyzmq echo servers.

Every contender answers the same requests (one JSON record each, with a request identifier)
from a client in another process on loopback:
  - the store's service with 2 write workers, the client keeping `window` requests in flight
    (DEALER);
  - a pyzmq REP echo with a REQ client, one request at a time: what one round trip costs;
  - a pyzmq ROUTER echo with the same pipelining DEALER client: what the messaging alone
    allows at that window.
The echo servers send every request back as it came (the ROUTER echo with zmq.proxy with the
socket on both sides, so no Python runs per message; the REP echo in a Python loop, as a REP
socket must alternate); the client checks that each reply carries its record.
"""
import os
import subprocess
import sys

CLIENT = r"""
import resource, sys, time, zmq
port, path, window, echo = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1"
records = open(path, "rb").read().split(b"\0")
context = zmq.Context()
socket = context.socket(zmq.REQ if window == 0 else zmq.DEALER)
socket.setsockopt(zmq.LINGER, 0)
socket.setsockopt(zmq.RCVTIMEO, 30000)
socket.connect(f"tcp://127.0.0.1:{port}")
def processor_time():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime
busy = processor_time()
started = time.perf_counter()
sent = answered = failed = 0
if window == 0:
    for number, record in enumerate(records):
        socket.send_multipart([record, b"%d" % number])
        reply = socket.recv_multipart()
        failed += reply[0] != (record if echo else b"OK")
    answered = len(records)
while answered < len(records):
    while sent < len(records) and sent - answered < window:
        socket.send_multipart([b"", records[sent], b"%d" % sent])
        sent += 1
    answered += 1
    reply = socket.recv_multipart()
    failed += reply[1] != (records[int(reply[2])] if echo else b"OK")
print(time.perf_counter() - started, failed, processor_time() - busy)
"""

# Sends back what arrives until it is killed, or by itself after 10 minutes.
ECHO = r"""
import os, sys, threading, zmq
port, pipelined = int(sys.argv[1]), sys.argv[2] == "1"
threading.Timer(600, os._exit, [1]).start()
context = zmq.Context()
socket = context.socket(zmq.ROUTER if pipelined else zmq.REP)
socket.bind(f"tcp://127.0.0.1:{port}")
print("ready", flush=True)
if pipelined:
    zmq.proxy(socket, socket)
while True:  # a REP socket must alternate receive and send, which a proxy does not
    socket.send_multipart(socket.recv_multipart())
"""


def run_client(port, path, window, echo=False):
    result = subprocess.run([sys.executable, "-c", CLIENT, str(port), path, str(window), "1" if echo else "0"],
                            capture_output=True, text=True, timeout=600, check=True)
    seconds, failed, busy = result.stdout.split()
    return float(seconds), int(failed), float(busy) / float(seconds)


def echo(port, path, count, window):
    server = subprocess.Popen([sys.executable, "-c", ECHO, str(port), "1" if window else "0"],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert server.stdout.readline().strip() == "ready"
        seconds, failed, busy = run_client(port, path, window, echo=True)
    finally:
        server.kill()
        server.wait()
    assert failed == 0
    return count / seconds, busy


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
    result["echo_rps"], result["echo_client_busy"] = echo(free_port(), path, len(records), 0)
    result["echo_pipelined_rps"], result["echo_pipelined_client_busy"] = echo(free_port(), path, len(records),
                                                                               window)

    port = free_port()
    store = quillmark.JSONStore(256 << 20, os.path.join(config["work"], "store-requests"), port)
    store.set_listen_address("127.0.0.1")
    for field in config["projections"]:
        store.projection(field)
    store.run(2)
    try:
        seconds, failed, result["store_client_busy"] = run_client(port, path, window)
        stored = store.stats()[1]
    finally:
        store.stop()
    assert failed == 0 and stored == len(records), (failed, stored, len(records))
    result["store_rps"] = len(records) / seconds
    return result
