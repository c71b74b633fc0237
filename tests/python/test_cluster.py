"""Sharded stores on a Dask cluster of two worker processes on loopback, checked against
one plain store that holds the same records: the same answers, no record lost or
duplicated across shards, one shard per key value, and failures named by shard."""
import contextlib
import json
import logging
import os
import random
import signal
import time

import distributed
import pyarrow as pa
import pytest

import quillmark
from quillmark.cluster import Router, ShardError, ShardedStore, shard_of_value
from store_helpers import LOG_SIZE, free_port, make_store, stdout_to

COLUMNS = [["n", "Int", "/n", True, 64, None, None, None], ["k", "String", "/k", None],
           ["g", "Int", "/g", True, 64, None, None, None]]
QUERIES = [("/k", "EQ", ["a"]), ("/k", "EQ", [3]), ("/k", "EQ", ["absent"]), ("/g", "NE", [1]),
           ("/g", "IN", [0, 2]), ("/n", "GE", [0])]
KEYS = ["a", "b", "c", "d", 3, 4, 2.5, True]


@contextlib.contextmanager
def dask_cluster():
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                       dashboard_address="127.0.0.1:0", silence_logs=logging.ERROR)
    try:
        with distributed.Client(cluster, timeout=60) as client:
            yield client
    finally:
        cluster.close(timeout=60)


@pytest.fixture(scope="module")
def dask_client():
    with dask_cluster() as client:
        yield client


def records(first, count, rng):
    """Records numbered from `first`; one in nine has no key, one key value is a float."""
    out = []
    for n in range(first, first + count):
        record = {"n": n, "g": n % 3, "text": "x" * rng.randrange(12)}
        if n % 9:
            record["k"] = rng.choice(KEYS)
        out.append(record)
    return out


def batch_forms(batch):
    """The same records as the forms `ingest` takes: dicts, JSON texts, a payload with one
    document per line, and a payload whose documents share and span lines."""
    quarter = len(batch) // 4
    texts = [json.dumps(record) for record in batch]
    return [batch[:quarter], texts[quarter:2 * quarter], "\n".join(texts[2 * quarter:3 * quarter]).encode(),
            " ".join(json.dumps(record, indent=1) for record in batch[3 * quarter:])]


def extractor(columns):
    return quillmark.Extractor.record([(column[0], getattr(quillmark.Extractor, column[1])(*column[2:]))
                                       for column in columns])


def rows(table):
    return sorted(table.to_pylist(), key=lambda row: row["n"]) if table is not None else []


class ModelStore:
    """One plain store with the same projections, fed the same records."""

    def __init__(self, path, projections):
        self.store, _ = make_store(quillmark, path)
        for name in projections:
            self.store.projection(name)

    def save(self, batch):
        self.store.save(b"\n".join(json.dumps(record).encode() for record in batch))

    def query(self, name, op, operands, columns):
        bitmap = self.store.scan(name, getattr(quillmark.ScanOperation, op), operands, None, None)
        return quillmark.to_table(self.store.extract(extractor(columns), bitmap))


def assert_same_answers(sharded, model, log):
    """Each query answers what the model store answers, through `query` and `to_dask`;
    returns the frame of every record."""
    with stdout_to(log):  # full scans list their matches on standard output
        for name, op, operands in QUERIES:
            expected = rows(model.query(name, op, operands, COLUMNS))
            assert rows(sharded.query(name, op, operands, COLUMNS)) == expected, (name, op, operands)
            frame = sharded.to_dask(name, op, operands, COLUMNS)
            assert frame.npartitions == len(sharded.shards)
            computed = pa.Table.from_pandas(frame.compute(), preserve_index=False)
            assert rows(computed) == expected, (name, op, operands)
    return frame


def assert_placed_by_key(everything, by_number):
    """Every record sits on the shard of its key value, records without one on shard 0."""
    for shard in range(everything.npartitions):
        for number in everything.get_partition(shard).compute()["n"]:
            record = by_number[number]
            assert shard == (shard_of_value(record["k"], 2) if "k" in record else 0), record


def test_routing_reads_member_names_unescaped():
    # The store reads {"\u006b": 1} as field /k, so the routing must place it with {"k": 1}.
    router = Router("/k", 2)
    for value in KEYS:
        plain = router.split(b'{"k": %s}' % json.dumps(value).encode())
        escaped = router.split(b'{"\\u006b": %s}' % json.dumps(value).encode())
        assert [count for _, count in escaped] == [count for _, count in plain], value


def test_sharded_store_answers_as_one_store_before_and_after_recovery(dask_client, tmp_path):
    rng = random.Random(21)
    model = ModelStore(tmp_path / "model", ["/k"])
    log = tmp_path / "scans.log"
    store = ShardedStore.create(dask_client, str(tmp_path / "cluster"), key="/k", log_memory=LOG_SIZE,
                                projections=["/k"], timeout=30)
    try:
        first = records(0, 400, rng)
        stored = [0, 0]
        for form in batch_forms(first):
            stored = [total + count for total, count in zip(stored, store.ingest(form))]
        model.save(first)
        assert sum(stored) == len(first) and min(stored) > 0
        statistics = store.stats()
        assert [shard["records"] for shard in statistics["shards"]] == stored
        assert statistics["records"] == len(first)
        assert_placed_by_key(assert_same_answers(store, model, log), {r["n"]: r for r in first})
        manifest = store.snapshot()
    finally:
        store.close()

    store = ShardedStore.recover(dask_client, manifest)
    try:
        assert_same_answers(store, model, log)
        more = records(400, 200, rng)
        store.ingest(more)
        model.save(more)
        assert_placed_by_key(assert_same_answers(store, model, log), {r["n"]: r for r in first + more})
        # Routing does not depend on the process: pinned shards of a few values.
        assert [shard_of_value(value, 2) for value in ("a", "b", 3, 2.5)] == [0, 1, 1, 1]
    finally:
        store.close()


def test_round_robin_and_a_refused_part(dask_client, tmp_path):
    with ShardedStore.create(dask_client, str(tmp_path / "plain"), log_memory=LOG_SIZE) as store:
        assert store.ingest(records(0, 10, random.Random(1))) == [10, 0]
        assert store.ingest(b'{"n": 10}\n{"n": 11}') == [0, 2]
        assert store.ingest('{"n": 12}') == [1, 0]
        with pytest.raises(ValueError, match="document 1"):
            store.ingest('{"n": 13} {"n": ')
        # A writer copied into a Dask task ingests from the worker's process.
        with store.writer() as writer:
            sent = dask_client.submit(lambda copy: (copy.ingest(['{"n": 13}', b'{"n": 14}']), copy.close())[0],
                                      writer, pure=False).result(timeout=60)
        assert sum(sent) == 2
        with stdout_to(tmp_path / "scans.log"):
            assert rows(store.query("/n", "GE", [0], COLUMNS[:1])) == [{"n": n} for n in range(15)]
    # A new store is never started over the shards of an old one.
    with pytest.raises(ShardError, match="already holds a store"):
        ShardedStore.create(dask_client, str(tmp_path / "plain"), log_memory=LOG_SIZE)

    # A projected value that is not a scalar makes its shard refuse its whole part.
    with ShardedStore.create(dask_client, str(tmp_path / "keyed"), key="/k", log_memory=LOG_SIZE,
                             projections=["/k", "/p"]) as store:
        refused = shard_of_value("a", 2)
        batch = [{"n": n, "k": key, "p": [1] if n == 2 else n} for n, key in enumerate(["a", "b"] * 4)]
        with pytest.raises(ShardError) as failure:
            store.ingest(batch)
        assert failure.value.shard == refused and list(failure.value.failures) == [refused]
        assert f"shard {refused}" in str(failure.value) and "ERR_BAD_DATA" in str(failure.value)
        assert failure.value.stored[refused] == 0 and failure.value.stored[1 - refused] == 4
        with stdout_to(tmp_path / "scans.log"):
            kept = rows(store.query("/n", "GE", [0], COLUMNS[:1]))
        assert kept == [{"n": n} for n in range(8) if batch[n]["k"] != "a"]


def test_a_dead_worker_is_reported_by_shard_and_its_shard_recovers(tmp_path):
    with dask_cluster() as client:
        store = ShardedStore.create(client, str(tmp_path / "cluster"), key="/k", log_memory=LOG_SIZE,
                                    projections=["/k"], timeout=3)
        try:
            kept = records(0, 100, random.Random(3))
            store.ingest(kept)
            manifest = store.snapshot()
            victim = store.shards[1].worker
            os.kill(client.run(os.getpid, workers=[victim])[victim], signal.SIGKILL)
            for _ in range(100):  # until the scheduler notices
                if victim not in client.scheduler_info(n_workers=-1)["workers"]:
                    break
                time.sleep(0.1)
            with pytest.raises(ShardError) as failure:
                store.query("/k", "EQ", ["a"], COLUMNS)
            assert list(failure.value.failures) == [1] and "left the cluster" in str(failure.value)
            with pytest.raises(ShardError) as failure:
                store.ingest([{"n": 1000, "k": value} for value in ("a", "b")])
            assert list(failure.value.failures) == [1] and sum(failure.value.stored) == 1
        finally:
            with pytest.raises(ShardError, match="shard 1"):
                store.close()
        client.wait_for_workers(2, timeout=60)  # the nanny restarts the worker
        store = ShardedStore.recover(client, manifest, timeout=30)
        try:
            with stdout_to(tmp_path / "scans.log"):
                recovered = rows(store.query("/n", "GE", [0], COLUMNS[:1]))
            assert [row["n"] for row in recovered] == list(range(100)) + [1000]
        finally:
            store.close()
