"""Shared pieces of the record server tests: free loopback ports, stores that serve
loopback only, REQ clients with time-outs, writers for client processes, the log size
of a record, and the process's resident memory, descriptors and threads."""
import contextlib
import os
import socket
import time

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


@contextlib.contextmanager
def stdout_to(path):
    """Points file descriptor 1 (where full scans list their matches) at `path`."""
    saved = os.dup(1)
    with open(path, "wb") as target:
        os.dup2(target.fileno(), 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)


def _under_address_sanitizer():
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


# Resident memory shows leaks only in an ordinary build: under AddressSanitizer (`make
# check`) freed memory stays resident on purpose in its quarantine and shadow, and the
# C++ lifecycle loops under LeakSanitizer check for leaks instead.
RESIDENT_MEMORY_SHOWS_LEAKS = not _under_address_sanitizer()


def resident_bytes():
    """This process's resident memory (VmRSS)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def live_threads():
    """Threads of this process, native ones included."""
    return len(os.listdir("/proc/self/task"))


def timed_writer(port, seconds, writer_id, documents_per_batch, timeout_ms, text_bytes=16):
    """Sends batches to the ingestion service at `port` for `seconds` and returns what
    happened: requests sent, replies received by kind, requests left unanswered after
    `timeout_ms`, the bytes and records of the batches answered "OK", and the numbers of
    the batches that were not. Batch b carries documents n = b * documents_per_batch + i,
    each with a text of 0 to `text_bytes` bytes, so that batches differ in size. Meant to
    run in a client process (multiprocessing with spawn). A request without a reply in
    time leaves the REQ socket unusable, so the writer opens a new one."""
    counts = {"sent": 0, "answered": 0, "unanswered": 0, "accepted": 0, "records": 0, "bytes": 0,
              "replies": {}, "not_accepted": []}
    deadline = time.monotonic() + seconds
    batch = 0
    while time.monotonic() < deadline:
        with client(port, timeout_ms=timeout_ms) as requests:
            while time.monotonic() < deadline:
                payload = "".join(
                    '{"writer": %d, "batch": %d, "i": %d, "n": %d, "kind": "k%d", "text": "%s"}\n'
                    % (writer_id, batch, i, batch * documents_per_batch + i, i % 5,
                       "x" * ((batch * 7919 + i) % (text_bytes + 1)))
                    for i in range(documents_per_batch)).encode()
                tag = b"%d/%d" % (writer_id, batch)
                requests.send_multipart([payload, tag])
                counts["sent"] += 1
                batch += 1
                try:
                    reply = requests.recv_multipart()
                except zmq.Again:
                    counts["unanswered"] += 1
                    counts["not_accepted"].append(batch - 1)
                    break
                counts["answered"] += 1
                kind = reply[0].decode(errors="replace")
                if len(reply) < 2 or reply[1] != tag:
                    kind += " for another request"
                counts["replies"][kind] = counts["replies"].get(kind, 0) + 1
                if reply == [b"OK", tag]:
                    counts["accepted"] += 1
                    counts["records"] += documents_per_batch
                    counts["bytes"] += len(payload)
                else:
                    counts["not_accepted"].append(batch - 1)
    return counts
