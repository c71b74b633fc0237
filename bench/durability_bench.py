"""Snapshot and recovery time of a store with a large log, next to the device's own
sequential O_DIRECT write and read speed measured in the same run on the same directory.

The MB/s quoted for snapshot and recovery are log bytes covered per second: pages below
the read-only address are on disk before the snapshot starts, so a snapshot writes only
the unflushed tail and the hash index, and recovery reads the newest pages and replays
the span between the two checkpoints.

    PYTHONPATH=build/python python bench/durability_bench.py DIRECTORY --megabytes 1024
"""
import argparse
import mmap
import os
import shutil
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
import _quillmark_rec_server_extension as ext  # noqa: E402
from generate_records import generate_lines  # noqa: E402

LOG_MEMORY = 512 * 1024 * 1024
BATCH_BYTES = 4 * 1024 * 1024
DIRECT_CHUNK = 8 * 1024 * 1024


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def direct_io_speed(path, total):
    """Sequential O_DIRECT write then read of `total` bytes; (write MB/s, read MB/s)."""
    buffer = mmap.mmap(-1, DIRECT_CHUNK)  # page aligned, as O_DIRECT needs
    buffer.write(os.urandom(1024) * (DIRECT_CHUNK // 1024))
    chunks = total // DIRECT_CHUNK
    descriptor = os.open(path, os.O_CREAT | os.O_WRONLY | os.O_TRUNC | os.O_DIRECT, 0o600)
    started = time.perf_counter()
    for _ in range(chunks):
        os.write(descriptor, buffer)
    os.fsync(descriptor)
    write_seconds = time.perf_counter() - started
    os.close(descriptor)
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECT)
    started = time.perf_counter()
    for _ in range(chunks):
        os.readv(descriptor, [buffer])
    read_seconds = time.perf_counter() - started
    os.close(descriptor)
    os.unlink(path)
    megabytes = chunks * DIRECT_CHUNK / 1e6
    return megabytes / write_seconds, megabytes / read_seconds


def batches():
    """A few megabytes of distinct records, sent again and again."""
    return b"".join(generate_lines(megabytes=BATCH_BYTES // (1024 * 1024)))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("directory")
    parser.add_argument("--megabytes", type=int, default=1024, help="log bytes to ingest")
    arguments = parser.parse_args()
    store_path = os.path.join(arguments.directory, "durability-bench-store")
    shutil.rmtree(store_path, ignore_errors=True)

    write_speed, read_speed = direct_io_speed(os.path.join(arguments.directory, "direct-io-probe"),
                                              arguments.megabytes * 1024 * 1024)

    store = ext.JSONStore(LOG_MEMORY, store_path, free_port())
    store.set_listen_address("127.0.0.1")
    store.projection("/category")
    batch = batches()
    started = time.perf_counter()
    while store.end_address < arguments.megabytes * 1024 * 1024:
        store.save(batch)
    ingest_seconds = time.perf_counter() - started
    log_megabytes = store.end_address / 1e6

    started = time.perf_counter()
    snapshot = store.snapshot()
    snapshot_seconds = time.perf_counter() - started
    assert snapshot["log"]["status"] == ext.Status.Ok, snapshot
    end = store.end_address
    del store

    recovered = ext.JSONStore(LOG_MEMORY, store_path, free_port())
    recovered.set_listen_address("127.0.0.1")
    started = time.perf_counter()
    recovered.recover(snapshot["index"]["token"], snapshot["log"]["token"], 1)
    recover_seconds = time.perf_counter() - started - 1.0  # recover pauses 1 s for the workers
    assert recovered.end_address == end
    recovered.stop()

    print(f"log: {log_megabytes:.0f} MB ingested in {ingest_seconds:.1f} s (direct saves)")
    print(f"device, O_DIRECT sequential: write {write_speed:.0f} MB/s, read {read_speed:.0f} MB/s")
    print(f"snapshot: {snapshot_seconds:.2f} s = {log_megabytes / snapshot_seconds:.0f} MB/s of log")
    print(f"recover:  {recover_seconds:.2f} s = {log_megabytes / recover_seconds:.0f} MB/s of log")
    shutil.rmtree(store_path, ignore_errors=True)


if __name__ == "__main__":
    main()
