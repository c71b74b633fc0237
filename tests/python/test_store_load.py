"""Concurrent ingestion without loss: several client threads and a second process send
batches to two workers while Python threads project fields and save directly; every
accepted record is counted once and takes its place in the log."""
import os
import subprocess
import sys
import threading
import time

from store_helpers import FIRST_ADDRESS, batch_size, client, make_store, request

CLIENT_THREADS = 3
BATCHES_PER_CLIENT = 1000
DOCUMENTS_PER_BATCH = 5

CHILD_CLIENT = r"""
import sys, zmq
port, batches, per_batch = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
context = zmq.Context()
requests = context.socket(zmq.REQ)
requests.setsockopt(zmq.LINGER, 0)
requests.setsockopt(zmq.RCVTIMEO, 10000)
requests.connect(f"tcp://127.0.0.1:{port}")
accepted = bytes_sent = records = 0
for b in range(batches):
    payload = "".join('{"client": "child", "batch": %d, "i": %d}\n' % (b, i) for i in range(per_batch)).encode()
    requests.send_multipart([payload, b"%d" % b])
    if requests.recv_multipart() == [b"OK", b"%d" % b]:
        accepted += 1; bytes_sent += len(payload); records += per_batch
print(accepted, bytes_sent, records)
requests.close(0)
context.term()
"""


def make_batch(client_id, batch, documents=DOCUMENTS_PER_BATCH):
    return "".join('{"client": %d, "batch": %d, "i": %d}\n' % (client_id, batch, i)
                   for i in range(documents)).encode()


def test_concurrent_writers_projections_and_saves_lose_nothing(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    store.run(2)
    results = [None] * CLIENT_THREADS
    failures = []

    def remote_writer(client_id):
        accepted = []
        try:
            with client(port, timeout_ms=10000) as requests:
                for batch in range(BATCHES_PER_CLIENT):
                    payload = make_batch(client_id, batch)
                    reply = request(requests, payload, b"%d" % batch)
                    if reply != [b"OK", b"%d" % batch]:
                        failures.append((client_id, batch, reply))
                        continue
                    accepted.append(payload)
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append((client_id, repr(error)))
        results[client_id] = accepted

    child = subprocess.Popen([sys.executable, "-c", CHILD_CLIENT, str(port), str(BATCHES_PER_CLIENT),
                              str(DOCUMENTS_PER_BATCH)], stdout=subprocess.PIPE, text=True,
                             env=dict(os.environ))
    writers = [threading.Thread(target=remote_writer, args=(i,)) for i in range(CLIENT_THREADS)]
    for writer in writers:
        writer.start()

    # Meanwhile, from Python: new projections (on fields the batches do not carry, so
    # record sizes stay known) and direct saves. A save that meets a projection change
    # in progress is refused and tried again.
    saved = []
    projector_errors = []

    def project():
        try:
            for i in range(5):
                store.projection(f"/absent{i}")
        except Exception as error:  # noqa: BLE001
            projector_errors.append(error)

    projector = threading.Thread(target=project)
    projector.start()
    # A refusal is immediate, so retries are bounded by time rather than by count: on a
    # loaded machine a projection change can outlast any fixed number of quick retries.
    for i in range(10):
        payload = make_batch(100, i, 3)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                assert store.save(payload) == 3
                saved.append(payload)
                break
            except RuntimeError as error:
                assert "Can acquire only in REST phase!" in str(error)
                time.sleep(0.001)
    projector.join(60)
    for writer in writers:
        writer.join(120)
    child_out, _ = child.communicate(timeout=120)

    assert not projector.is_alive() and projector_errors == []
    assert failures == []
    assert len(saved) == 10
    child_accepted, child_bytes, child_records = map(int, child_out.split())
    assert child_accepted == BATCHES_PER_CLIENT

    accepted = [payload for batches in results for payload in batches] + saved
    expected_records = sum(p.count(b"\n") for p in accepted) + child_records
    expected_bytes = sum(len(p) for p in accepted) + child_bytes
    assert store.stats() == (expected_bytes, expected_records)
    # Every record has its place: the child's records are sized from its batches.
    child_size = sum(batch_size(("".join('{"client": "child", "batch": %d, "i": %d}\n' % (b, i)
                                          for i in range(DOCUMENTS_PER_BATCH))).encode())
                     for b in range(BATCHES_PER_CLIENT))
    assert store.end_address == FIRST_ADDRESS + sum(batch_size(p) for p in accepted) + child_size
    assert store.get_all_projections() == [f"/absent{i}" for i in range(5)]
    store.stop()
