"""Shared pieces of the record server tests: free loopback ports, stores that serve
loopback only, REQ clients with time-outs, and the log size of a record."""
import contextlib
import socket

import zmq

LOG_SIZE = 192 * 1024 * 1024  # the smallest log the engine accepts
FIRST_ADDRESS = 64
REPLY_TIMEOUT_MS = 5000


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def make_store(ext, path, port=None):
    """A store serving loopback only, and its port."""
    port = free_port() if port is None else port
    store = ext.JSONStore(LOG_SIZE, str(path), port)
    store.set_listen_address("127.0.0.1")
    return store, port


@contextlib.contextmanager
def client(port, timeout_ms=REPLY_TIMEOUT_MS):
    context = zmq.Context()
    requests = context.socket(zmq.REQ)
    requests.setsockopt(zmq.LINGER, 0)
    requests.setsockopt(zmq.RCVTIMEO, timeout_ms)
    requests.setsockopt(zmq.SNDTIMEO, timeout_ms)
    requests.connect(f"tcp://127.0.0.1:{port}")
    try:
        yield requests
    finally:
        requests.close(0)
        context.term()


def request(requests, *frames):
    requests.send_multipart(list(frames))
    return requests.recv_multipart()


def record_size(document: bytes):
    """Log bytes of a record with no projected value: header, text, rounded to 8."""
    return (8 + len(document.strip()) + 7) // 8 * 8


def batch_size(payload: bytes):
    return sum(record_size(line) for line in payload.split(b"\n") if line.strip())
