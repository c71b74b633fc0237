"""Several record servers that behave as one store, placed on a Dask cluster.

    from distributed import Client
    from quillmark.cluster import ShardedStore

    client = Client("tcp://scheduler:8786")
    store = ShardedStore.create(client, "/data/flights", key="/icao", projections=["/icao"])
    store.ingest(records)                         # each record goes to the shard of its key
    table = store.query("/icao", "EQ", ["4CA87C"], [["icao", "String", "/icao", None]])
    manifest = store.snapshot()
    store.close()
    store = ShardedStore.recover(client, manifest)

Each shard is a `quillmark.server.RecordServer` running inside one Dask worker (as a Dask
actor), with its own directory, ingestion port and query port. Dask only places and starts
the shards: records travel from this process straight to each shard's ingestion port, and
queries straight to each shard's query port, never through the scheduler.

Routing: with a key (a JSON Pointer), a record goes to shard
`crc32(canonical JSON text of its key value) % shards`, where the canonical text is the
value written by `json.dumps` with sorted object keys and no spaces; records without the
field go to shard 0. The hash does not depend on the process (unlike Python's `hash`), so
the same value reaches the same shard from every client and after a recovery. Without a
key, whole batches go to the shards in turn.
"""
import concurrent.futures
import json
import os
import random
import socket
import threading
import zlib
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

import simdjson
import zmq

from .__main__ import byte_size
from .client import Client, IngestionError, ReplyTimeout, encode_records
from .query import QueryClient, QueryError, empty_table, operation_name
from .server import write_atomically

MANIFEST_NAME = "cluster-manifest.json"
MANIFEST_FORMAT = 1
ROUTING = "crc32-canonical-json"
_MISSING = object()

Batch = Union[bytes, bytearray, memoryview, str, Iterable[Union[dict, list, str, bytes]]]


class ShardError(RuntimeError):
    """One or more shards failed. `failures` maps each shard number to what went wrong;
    `shard` is the first of them. `stored`, set by `ingest`, is the number of records each
    shard stored from the batch (0 for the shards that failed)."""

    def __init__(self, failures: Dict[int, str], stored: Optional[List[int]] = None):
        self.failures = dict(sorted(failures.items()))
        self.shard = next(iter(self.failures))
        self.stored = stored
        super().__init__("; ".join(f"shard {shard}: {message}" for shard, message in self.failures.items()))


# ---------------------------------------------------------------------------------------------
# Routing

def parse_pointer(pointer: str) -> Tuple[str, ...]:
    """The reference tokens of a JSON Pointer ("/a/b~1c" -> ("a", "b/c"))."""
    if pointer == "":
        return ()
    if not pointer.startswith("/"):
        raise ValueError(f"a JSON Pointer starts with '/': {pointer!r}")
    return tuple(token.replace("~1", "/").replace("~0", "~") for token in pointer[1:].split("/"))


def resolve(document: Any, tokens: Sequence[str]) -> Any:
    """The value at `tokens` in `document`, or _MISSING."""
    value = document
    for token in tokens:
        if isinstance(value, dict):
            value = value.get(token, _MISSING)
            if value is _MISSING:
                return _MISSING
        elif isinstance(value, list) and token.isdigit() and (token == "0" or not token.startswith("0")):
            index = int(token)
            if index >= len(value):
                return _MISSING
            value = value[index]
        else:
            return _MISSING
    return value


def canonical_text(value: Any) -> bytes:
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False).encode()


def shard_of_value(value: Any, shards: int) -> int:
    """The shard of a key value; stable across processes and machines."""
    return zlib.crc32(canonical_text(value)) % shards


_JSON_WHITESPACE = " \t\n\r"


def split_documents(payload: Union[bytes, bytearray, memoryview, str]) -> List[Tuple[bytes, Any]]:
    """The JSON documents of a payload separated by white space, as (text, parsed value)
    pairs; each text is the document's own bytes. Raises ValueError naming the first
    document that is not JSON."""
    if isinstance(payload, str):
        payload = payload.encode()
    payload = bytes(payload)
    lines = payload.split(b"\n")
    try:
        # The usual case, one document per line.
        return [(line, json.loads(line)) for line in lines if line.strip()]
    except ValueError:
        pass
    try:
        text = payload.decode()
    except UnicodeDecodeError as error:
        raise ValueError(f"the batch is not UTF-8 text: {error}") from None
    decoder, position, documents = json.JSONDecoder(), 0, []
    while True:
        while position < len(text) and text[position] in _JSON_WHITESPACE:
            position += 1
        if position == len(text):
            return documents
        try:
            value, end = decoder.raw_decode(text, position)
        except json.JSONDecodeError as error:
            raise ValueError(f"document {len(documents)} of the batch is not JSON: {error}") from None
        documents.append((text[position:end].encode(), value))
        position = end


def _lines_with_keys(payload: bytes, pointer: Optional[str]) -> Optional[List[Tuple[bytes, Any]]]:
    """(line, key value or _MISSING) for a payload of one JSON document per line, read with
    simdjson, which looks the key up without building the rest of the record (several
    times faster than `json`); None when some line is not exactly one document, for the
    general reader to handle (or refuse)."""
    parser, out = simdjson.Parser(), []
    for line in payload.split(b"\n"):
        if not line.strip():
            continue
        try:
            if b"\\" in line:
                # simdjson's pointer lookup compares member names as written; the store
                # compares them unescaped ("k\u0065y" is "key"), and so must the routing.
                document = json.loads(line)
                key = _MISSING if pointer is None else resolve(document, parse_pointer(pointer))
                out.append((line, key))
            else:
                out.append((line, _key_of_line(parser, line, pointer)))
        except (ValueError, RuntimeError, TypeError):
            return None
    return out


def _key_of_line(parser, line: bytes, pointer: Optional[str]) -> Any:
    # Nothing may keep a proxy into the parser's document once this returns: the parser
    # refuses to parse again while one lives.
    document = parser.parse(line)
    if pointer is None:
        return _MISSING
    if pointer == "":
        value = document
    elif not isinstance(document, (simdjson.Object, simdjson.Array)):
        return _MISSING
    else:
        try:
            value = document.at_pointer(pointer)
        except (KeyError, IndexError):
            return _MISSING
    if isinstance(value, simdjson.Object):
        return value.as_dict()
    if isinstance(value, simdjson.Array):
        return value.as_list()
    return value


def _records_to_documents(records: Iterable[Union[dict, list, str, bytes]]) -> List[Tuple[bytes, Any]]:
    documents = []
    for record in records:
        if isinstance(record, (str, bytes, bytearray, memoryview)):
            documents.extend(split_documents(record))
        else:
            documents.append((encode_records([record]), record))
    return documents


class Router:
    """Splits batches into one part per shard."""

    def __init__(self, key: Optional[str], shards: int, first: int = 0):
        if shards < 1:
            raise ValueError("a sharded store needs at least one shard")
        self.key, self.shards = key, shards
        self._tokens = None if key is None else parse_pointer(key)
        self._next = first % shards  # the shard of the next batch without a key
        self._lock = threading.Lock()

    def _key_of(self, document: Any) -> Any:
        return _MISSING if self._tokens is None else resolve(document, self._tokens)

    def split(self, batch: Batch) -> List[Tuple[bytes, int]]:
        """(payload, record count) for each shard; an empty payload means nothing for it.
        Raises ValueError, before anything is sent, for a batch that is not JSON."""
        is_payload = isinstance(batch, (bytes, bytearray, memoryview, str))
        if is_payload:
            batch = bytes(batch.encode() if isinstance(batch, str) else batch)
            documents = _lines_with_keys(batch, self.key)
            if documents is None:
                documents = [(text, self._key_of(value)) for text, value in split_documents(batch)]
        else:
            documents = [(text, self._key_of(value)) for text, value in _records_to_documents(batch)]
        parts: List[Tuple[bytes, int]] = [(b"", 0)] * self.shards
        if not documents:
            return parts
        if self._tokens is None:
            with self._lock:
                shard, self._next = self._next, (self._next + 1) % self.shards
            payload = batch if is_payload else b"\n".join(text for text, _ in documents)
            parts[shard] = (payload, len(documents))
            return parts
        texts: List[List[bytes]] = [[] for _ in range(self.shards)]
        for text, key in documents:
            texts[0 if key is _MISSING else shard_of_value(key, self.shards)].append(text)
        return [(b"\n".join(shard_texts), len(shard_texts)) for shard_texts in texts]


class ShardWriter:
    """Routes batches and sends each shard's part straight to its ingestion port, all parts
    at once. A ShardWriter pickles: a copy in another process (a Dask task, for instance)
    opens sockets of its own, so that ingestion can grow past what one client process
    parses. `ShardedStore.writer()` gives one. Sockets open at the first `ingest`, so that
    copies that never ingest (the Dask scheduler unpickles task arguments) hold none;
    `close` (or the `with` block) releases them."""

    def __init__(self, key: Optional[str], endpoints: Sequence[str], timeout: float = 30.0, curve=None,
                 first: int = 0):
        self.key, self.endpoints, self.timeout, self.curve = key, list(endpoints), timeout, curve
        self.router = Router(key, len(self.endpoints), first)
        # A socket serves one request at a time, also when several threads ingest.
        self._locks = [threading.Lock() for _ in self.endpoints]
        self._opening = threading.Lock()
        self._context = self._clients = self._pool = None

    def _open(self) -> None:
        with self._opening:
            if self._context is None:
                self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=len(self.endpoints),
                                                                   thread_name_prefix="quillmark-shard")
                self._context = zmq.Context()
                self._clients = [Client(endpoint, timeout=self.timeout, context=self._context, curve=self.curve)
                                 for endpoint in self.endpoints]

    def __getstate__(self):
        return {"key": self.key, "endpoints": self.endpoints, "timeout": self.timeout, "curve": self.curve}

    def __setstate__(self, state):
        # Copies start their batches without a key at different shards.
        self.__init__(**state, first=random.randrange(len(state["endpoints"])))

    def ingest(self, batch: Batch) -> List[int]:
        """Sends a batch (a payload of JSON documents separated by white space, or an
        iterable of records: dicts, lists or JSON texts); returns the number of records
        each shard stored.

        A batch that is not JSON raises ValueError and nothing is sent. When a shard
        refuses its part (or does not answer in time), ShardError names it with the
        server's message; the parts the other shards accepted stay stored, and the error's
        `stored` says how many records each shard kept."""
        parts = self.router.split(batch)
        self._open()
        sends = {number: self._pool.submit(self._send, number, payload)
                 for number, (payload, count) in enumerate(parts) if count}
        stored, failures = [0] * len(parts), {}
        for number, send in sends.items():
            try:
                send.result()
                stored[number] = parts[number][1]
            except (IngestionError, ReplyTimeout, zmq.ZMQError) as error:
                failures[number] = f"{type(error).__name__}: {error} ({self.endpoints[number]})"
        if failures:
            raise ShardError(failures, stored)
        return stored

    def _send(self, number: int, payload: bytes) -> bytes:
        with self._locks[number]:
            return self._clients[number].send(payload)

    def close(self) -> None:
        with self._opening:
            if self._context is None:
                return
            self._pool.shutdown()
            for client in self._clients:
                client.close()
            self._context.term()
            self._context = self._clients = self._pool = None

    def __enter__(self) -> "ShardWriter":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


# ---------------------------------------------------------------------------------------------
# The part that runs inside a Dask worker

class ShardHost:
    """A record server inside a Dask worker's process; created as a Dask actor, so that it
    lives as long as the store holds its future."""

    def __init__(self, directory: str, options: Dict[str, Any]):
        self.directory, self.options = directory, options
        self.server = None

    def start(self, snapshot_expected: Optional[bool]) -> Dict[str, Any]:
        """Starts the server on the worker's own host with ports the system picks; returns
        where it listens and the snapshot it recovered (None for a new store). With
        `snapshot_expected` False the directory must not hold a store yet, with True it must
        hold a snapshot: a shard is never started empty over a directory that lost its data,
        nor a new store started over an old one."""
        from distributed import get_worker
        from .server import RecordServer, read_manifest
        manifest = read_manifest(self.directory) if os.path.isdir(self.directory) else None
        has_snapshot = bool(manifest and manifest["snapshots"])
        if snapshot_expected is False and has_snapshot:
            raise FileExistsError(f"{self.directory} already holds a store (recover it from its cluster manifest)")
        if snapshot_expected and not has_snapshot:
            raise FileNotFoundError(f"{self.directory} holds no snapshot")
        os.makedirs(self.directory, exist_ok=True)
        self.server = RecordServer(self.directory, port=0, query_port=0, listen=_host_of(get_worker().address),
                                   **self.options)
        message = self.server.start()
        return {"ingestion": self.server.ingestion_endpoint, "query": self.server.query_endpoint,
                "message": message, "host": socket.gethostname(), "pid": os.getpid(),
                "snapshot": self.server.snapshot()}  # nothing ingested yet: the one recovered

    def stop(self, final_snapshot: bool = True) -> None:
        if self.server is not None:
            server, self.server = self.server, None
            server.stop(final_snapshot=final_snapshot)


def _host_of(address: str) -> str:
    """"tcp://10.0.0.5:40123" -> "10.0.0.5" (also for bracketed IPv6 hosts)."""
    host = address.split("://", 1)[-1].rsplit(":", 1)[0]
    return host.strip("[]")


def _directory_reachable(directories: List[str]) -> List[bool]:
    """Run on each worker: which of the shard directories this worker can open and find
    the server's manifest in."""
    from .server import MANIFEST
    return [os.access(directory, os.R_OK | os.W_OK | os.X_OK) and os.path.isfile(os.path.join(directory, MANIFEST))
            for directory in directories]


def _query_partition(endpoint: str, name: str, op: str, operands: list, columns: list, timeout: float, curve):
    """Run on a shard's worker: the shard's answer as a pandas DataFrame with Arrow types
    (so that every partition has the same dtypes, nulls or not)."""
    with QueryClient(endpoint, timeout=timeout, curve=curve) as client:
        table = client.query(name, op, operands, columns)
    return _to_pandas(table)


def _head(frame):
    return frame.iloc[:0]


def _typed_like(frame, meta):
    return meta if frame.empty else frame


def _to_pandas(table):
    import pandas
    return table.to_pandas(types_mapper=pandas.ArrowDtype)


# ---------------------------------------------------------------------------------------------
# The store

class _Shard:
    def __init__(self, number, directory, worker, actor_future, actor, started):
        self.number, self.directory, self.worker = number, directory, worker
        self.actor_future, self.actor = actor_future, actor
        self.ingestion_endpoint = started["ingestion"]
        self.query_endpoint = started["query"]
        self.host = started["host"]
        self.start_message = started["message"]
        self.snapshot = started["snapshot"]

    def describe(self) -> str:
        return f"{self.directory} on worker {self.worker}"


class ShardedStore:
    """Records spread over record servers on Dask workers, written and queried as one
    store. Build one with `create` or `recover`; `close` stops the shards.

    `timeout` bounds every request to a shard (ingestion replies, queries, snapshots):
    a shard that does not answer in time is reported as failed by number."""

    def __init__(self, client, directory: str, key: Optional[str], shards: List[_Shard],
                 options: Dict[str, Any], projections: Sequence[str], timeout: float):
        self.client, self.directory, self.key = client, directory, key
        self.options, self.timeout = options, timeout
        self.projections = list(projections)
        self.shards = shards
        self.curve = options.get("curve")  # the key directory, at the same path here and on the workers
        self._writer = ShardWriter(key, [shard.ingestion_endpoint for shard in shards], timeout, self.curve)
        self._queries = [None] * len(shards)
        self._query_locks = [threading.Lock() for _ in shards]
        self._pool = concurrent.futures.ThreadPoolExecutor(max_workers=len(shards),
                                                           thread_name_prefix="quillmark-shard")
        self._closed = False

    # -- building ----------------------------------------------------------------------------

    @classmethod
    def create(cls, client, directory: str, key: Optional[str] = None, shards: Optional[int] = None,
               log_memory: Union[int, str] = "1GiB", threads: int = 1, projections: Sequence[str] = (),
               timeout: float = 30.0, **server_options) -> "ShardedStore":
        """Starts one shard per Dask worker (or `shards` of them) with its directory
        `directory/shard-<i>` on its worker's machine and the `projections` on each.
        `key` is the JSON Pointer records are routed by (None: whole batches in turn).
        Further keyword arguments go to every `RecordServer`."""
        if key is not None:
            parse_pointer(key)
        workers = _workers(client)
        count = len(workers) if shards is None else shards
        if not 1 <= count <= len(workers):
            raise ValueError(f"{count} shards asked for, the cluster has {len(workers)} workers "
                             "(one shard per worker)")
        if not isinstance(log_memory, int):
            try:
                log_memory = byte_size(log_memory)
            except Exception as error:  # the command line's parser raises its own type
                raise ValueError(str(error)) from None
        options = dict(server_options, log_memory=log_memory, threads=threads, projections=list(projections))
        if options.get("curve") is not None:
            options["curve"] = os.path.abspath(os.fspath(options["curve"]))
        placements = [(number, os.path.join(os.path.abspath(directory), f"shard-{number}"), workers[number], False)
                      for number in range(count)]
        started = _start_shards(client, placements, options, timeout)
        return cls(client, directory, key, started, options, projections, timeout)

    @classmethod
    def recover(cls, client, manifest_path: str, timeout: float = 30.0) -> "ShardedStore":
        """Starts every shard of a cluster manifest written by `snapshot` from the newest
        snapshot in its directory (the one the manifest names, or a later one: `close` and
        the servers' timers snapshot too), each on a worker that can reach that directory,
        one on the shard's former host first. Raises ShardError naming the shards that no
        worker can reach, that fail to start, or whose directory holds fewer records than
        the manifest says; no shard is left running then."""
        with open(manifest_path) as source:
            manifest = json.load(source)
        if manifest.get("format") != MANIFEST_FORMAT or manifest.get("routing") != ROUTING:
            raise ValueError(f"{manifest_path} is not a cluster manifest this version reads")
        entries = manifest["shards"]
        directories = [entry["directory"] for entry in entries]
        workers = _workers(client)
        reachable = client.run(_directory_reachable, directories)
        placements, unplaced, used = [], {}, set()
        for number, entry in enumerate(entries):
            # A shard that had stored nothing has no snapshot to find: any worker starts it afresh.
            candidates = [worker for worker in workers
                          if entry["snapshot"] is None or reachable.get(worker, [False] * len(entries))[number]]
            # The former host first, then workers hosting no shard yet.
            candidates.sort(key=lambda worker: (_host_of(worker) != entry.get("listen"), worker in used))
            if not candidates:
                unplaced[number] = f"no worker can reach its directory {entry['directory']}"
                continue
            used.add(candidates[0])
            # A shard that had nothing at the snapshot may have taken records since.
            placements.append((number, entry["directory"], candidates[0], True if entry["snapshot"] else None))
        if unplaced:
            raise ShardError(unplaced)
        started = _start_shards(client, placements, manifest["options"], timeout)
        older = {shard.number: f"recovered {shard.snapshot['records']} records, the manifest names "
                               f"{entries[shard.number]['snapshot']['records']} ({shard.describe()})"
                 for shard in started if entries[shard.number]["snapshot"] is not None
                 and shard.snapshot["records"] < entries[shard.number]["snapshot"]["records"]}
        if older:
            _stop_shards(started, timeout)
            raise ShardError(older)
        return cls(client, os.path.dirname(os.path.abspath(manifest_path)), manifest["key"], started,
                   manifest["options"], manifest["projections"], timeout)

    # -- writing -----------------------------------------------------------------------------

    def ingest(self, batch: Batch) -> List[int]:
        """Sends a batch (a payload of JSON documents separated by white space, or an
        iterable of records: dicts, lists or JSON texts) to the shards, each shard's part
        straight to its ingestion port, all at once. Returns the number of records each
        shard stored.

        A batch that is not JSON raises ValueError and nothing is sent. When a shard
        refuses its part (or does not answer in time), ShardError names it with the
        server's message; the parts the other shards accepted stay stored, and the error's
        `stored` says how many records each shard kept."""
        try:
            return self._writer.ingest(batch)
        except ShardError as error:
            raise ShardError({number: self._where(number, message) for number, message in error.failures.items()},
                             error.stored) from None

    def writer(self) -> ShardWriter:
        """A ShardWriter to the same shards, with the same routing, to ingest from other
        threads or processes (it pickles)."""
        return ShardWriter(self.key, self._writer.endpoints, self.timeout, self.curve)

    # -- asking ------------------------------------------------------------------------------

    def projection(self, name: str) -> List[Any]:
        """Creates the projection `name` on every shard; returns each shard's answer.
        Like on one store, only records ingested afterwards are on its chains."""
        answers = self._on_every_shard(lambda query: query.projection(name))
        if name not in self.projections:
            self.projections.append(name)
        return answers

    def query(self, name: str, op, operands: list, columns: list):
        """Asks every shard at once and returns their tables concatenated in shard order
        (each shard's rows in its own address order). `columns` is a list of
        [column name, factory name, factory arguments...]."""
        import pyarrow
        tables = self._on_every_shard(lambda query: query.query(name, op, operands, columns))
        # A shard without matches answers columns of no type; the others' types win.
        return pyarrow.concat_tables(tables, promote_options="permissive")

    def to_dask(self, name: str, op, operands: list, columns: list):
        """The same answer as `query` as a Dask DataFrame with one partition per shard.
        The shards are asked now, each by a task on its own worker, and the answers wait
        there: rows cross the network only when the frame is computed or shuffled.
        Columns have pandas Arrow dtypes. Raises ShardError naming the shards that fail
        or do not answer within `timeout`."""
        import dask.dataframe
        op = operation_name(op)
        answers = [self.client.submit(_query_partition, shard.query_endpoint, name, op, list(operands), list(columns),
                                      self.timeout, self.curve, workers=[shard.worker], allow_other_workers=False,
                                      pure=False) for shard in self.shards]
        heads, failures = [], {}
        for number, answer in enumerate(answers):
            try:
                heads.append(self.client.submit(_head, answer, workers=[self.shards[number].worker],
                                                pure=False).result(timeout=self.timeout))
            except Exception as error:  # noqa: BLE001 - the shard's own error, or no answer in time
                failures[number] = self._where(number, f"{type(error).__name__}: {error}")
        if failures:
            raise ShardError(failures)
        # A shard without matches answers columns of no type: it takes the others' types.
        meta = next((head for head in heads if not all(str(dtype) == "null[pyarrow]" for dtype in head.dtypes)),
                    heads[0])
        partitions = [self.client.submit(_typed_like, answer, meta, workers=[shard.worker], pure=False)
                      for answer, shard in zip(answers, self.shards)]
        return dask.dataframe.from_delayed(partitions, meta=meta, verify_meta=False)

    def stats(self) -> Dict[str, Any]:
        """{"bytes": ..., "records": ..., "shards": [each shard's statistics]}: the bytes and
        records the shards ingested since they started, summed, and each shard's own
        figures (with the end address of its log)."""
        shards = self._on_every_shard(lambda query: query.stats())
        return {"bytes": sum(shard["bytes"] for shard in shards),
                "records": sum(shard["records"] for shard in shards), "shards": shards}

    # -- snapshots ---------------------------------------------------------------------------

    def snapshot(self, manifest_path: Optional[str] = None) -> str:
        """Snapshots every shard, then writes the cluster manifest (shard directories, hosts,
        tokens, key, projections, server options) atomically, by default to
        `directory/cluster-manifest.json` on this machine; returns its path. Raises
        ShardError naming the shards whose snapshot failed, and then writes no manifest."""
        entries = self._on_every_shard(lambda query: query.snapshot())
        manifest = {
            "format": MANIFEST_FORMAT, "routing": ROUTING, "key": self.key, "projections": self.projections,
            "options": self.options,
            "shards": [{"number": shard.number, "directory": shard.directory, "host": shard.host,
                        "listen": _host_of(shard.worker), "worker": shard.worker, "snapshot": entry}
                       for shard, entry in zip(self.shards, entries)],
        }
        path = manifest_path or os.path.join(self.directory, MANIFEST_NAME)
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        write_atomically(path, json.dumps(manifest, indent=1, default=str).encode())
        return path

    def close(self) -> None:
        """Stops every shard (each takes a final snapshot) and leaves their directories.
        Raises ShardError naming the shards that could not be stopped; the others are
        stopped all the same. Idempotent."""
        if self._closed:
            return
        self._closed = True
        failures = {}
        for shard in self.shards:
            try:
                shard.actor.stop().result(timeout=self.timeout)
            except Exception as error:  # a dead worker: report it, stop the others
                failures[shard.number] = self._where(shard.number, f"{type(error).__name__}: {error}")
        self._writer.close()
        self._pool.shutdown()
        for query in self._queries:
            if query is not None:
                query.close()
        for shard in self.shards:
            shard.actor_future.release()
        if failures:
            raise ShardError(failures)

    def __enter__(self) -> "ShardedStore":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    # -- helpers -----------------------------------------------------------------------------

    def _query_client(self, number: int):
        if self._queries[number] is None:
            self._queries[number] = QueryClient(self.shards[number].query_endpoint, timeout=self.timeout,
                                                curve=self.curve)
        return self._queries[number]

    def _on_every_shard(self, request) -> List[Any]:
        """request(QueryClient) on every shard at once; ShardError names those that fail."""
        def ask(number):
            with self._query_locks[number]:
                return request(self._query_client(number))

        calls = [self._pool.submit(ask, number) for number in range(len(self.shards))]
        answers, failures = [], {}
        for number, call in enumerate(calls):
            try:
                answers.append(call.result())
            except (QueryError, ReplyTimeout, zmq.ZMQError) as error:
                failures[number] = self._where(number, f"{type(error).__name__}: {error}")
                answers.append(None)
        if failures:
            raise ShardError(failures)
        return answers

    def _where(self, number: int, message: str) -> str:
        """`message` with the shard's directory and worker, and whether the worker is gone."""
        shard = self.shards[number]
        message += f" ({shard.describe()})"
        try:
            gone = shard.worker not in _workers(self.client)
        except Exception:  # the scheduler is out of reach too: say nothing about the worker
            gone = False
        return message + ("; its worker has left the cluster" if gone else "")


def _workers(client) -> List[str]:
    return sorted(client.scheduler_info(n_workers=-1)["workers"])


def _start_shards(client, placements, options, timeout) -> List[_Shard]:
    """Creates a ShardHost actor on each placement's worker and starts its server; when
    one fails, stops the ones already started and raises ShardError naming the failures."""
    futures = [client.submit(ShardHost, directory, options, actor=True, workers=[worker],
                             allow_other_workers=False, pure=False)
               for _, directory, worker, _ in placements]
    actors, failures, shards = [], {}, []
    for (number, directory, worker, snapshot_expected), future in zip(placements, futures):
        try:
            actor = future.result(timeout=timeout)
            actors.append((number, directory, worker, future, actor, actor.start(snapshot_expected)))
        except Exception as error:
            failures[number] = f"{type(error).__name__}: {error} ({directory} on worker {worker})"
    for number, directory, worker, future, actor, starting in actors:
        try:
            shards.append(_Shard(number, directory, worker, future, actor, starting.result(timeout=timeout)))
        except Exception as error:
            failures[number] = f"{type(error).__name__}: {error} ({directory} on worker {worker})"
    if failures:
        _stop_shards(shards, timeout)
        raise ShardError(failures)
    shards.sort(key=lambda shard: shard.number)
    return shards


def _stop_shards(shards: List[_Shard], timeout: float) -> None:
    """Stops shards started for a store that is not handed out, writing nothing."""
    for shard in shards:
        try:
            shard.actor.stop(final_snapshot=False).result(timeout=timeout)
        except Exception:  # noqa: BLE001 - the failure being reported matters more
            pass
        shard.actor_future.release()
