"""The main job of the record server, end to end, on this machine."""
import base64
import os
import socket
import sys
import tempfile
import time

import pyarrow as pa

import zmq

import _quillmark_rec_server_extension as quillmark

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bench"))
from generate_records import generate_lines  # noqa: E402

LOG_SIZE = 192 * 1024 * 1024


def step(title):
    print(f"\n== {title}")
    return time.perf_counter()


def main():
    started = step("Module and libraries")
    print(f"simdjson {quillmark.simdjson_version()} (threaded: {quillmark.simdjson_threaded()}), "
          f"active implementation {quillmark.simdjson_active_runtime()}")
    print("ZeroMQ {}.{}.{}".format(*quillmark.zmq_version()))
    print(f"pyarrow {pa.__version__}")

    step("Arrow IPC round trip")
    table = pa.ipc.open_stream(base64.b64decode(quillmark.generate_test_arrow_as_b64_string())).read_all()
    print(table)

    with tempfile.TemporaryDirectory() as directory:
        ingest_over_zeromq(directory)

    print(f"\ndone in {time.perf_counter() - started:.2f} s")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def ingest_over_zeromq(directory):
    step("Record server: ingestion over ZeroMQ")
    port = free_port()
    store = quillmark.JSONStore(LOG_SIZE, os.path.join(directory, "store"), port)
    store.set_listen_address("127.0.0.1")  # this demo serves loopback only
    store.run(2)
    lines = list(generate_lines(records=20000))
    batches = [b"".join(lines[i:i + 500]) for i in range(0, len(lines), 500)]

    context = zmq.Context()
    requests = context.socket(zmq.REQ)
    requests.setsockopt(zmq.RCVTIMEO, 10000)
    requests.setsockopt(zmq.LINGER, 0)
    requests.connect(f"tcp://127.0.0.1:{port}")
    started = time.perf_counter()
    for number, batch in enumerate(batches):
        requests.send_multipart([batch, b"%d" % number])
        reply = requests.recv_multipart()
        assert reply == [b"OK", b"%d" % number], reply
    elapsed = time.perf_counter() - started
    print(f"sent {len(lines)} records in {len(batches)} requests in {elapsed:.2f} s")

    active_from = store.projection("/category")
    print(f"projection /category active from address {active_from}; projections {store.get_all_projections()}")
    requests.send_multipart([b'{"category": "cat-0001", "id": -1}', b"after"])
    print("one more batch:", requests.recv_multipart())
    requests.send_multipart([b'{"category": {"not": "a scalar"}}', b"refused"])
    print("a refused batch:", requests.recv_multipart())
    requests.close(0)
    context.term()

    saved = store.save(b'{"category": "cat-0002", "id": -2}\n{"category": "cat-0003", "id": -3}')
    print(f"saved {saved} records directly")
    bytes_ingested, records_ingested = store.stats()
    print(f"stats: {bytes_ingested} bytes, {records_ingested} records; log ends at {store.end_address}")
    store.stop()


if __name__ == "__main__":
    main()
