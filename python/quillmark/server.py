"""A record server as a service: a store that restarts into its last snapshot, takes
snapshots on a schedule, answers remote queries and, when asked, admits only clients
with known CURVE keys.

    with RecordServer("/var/lib/quillmark", projections=["/country"]) as server:
        print(server.ingestion_endpoint, server.query_endpoint)
        ...

The directory holds the store's log and checkpoints and a manifest, `manifest.json`,
naming the kept snapshots (tokens, record count, projections), newest last. The manifest
is replaced atomically, and only after a snapshot succeeded, so it always names
snapshots that are complete on disk; checkpoints it no longer names are deleted.
"""
import base64
import datetime
import ipaddress
import json
import logging
import os
import shutil
import threading
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import zmq
import zmq.auth.thread
import zmq.utils.monitor

from _quillmark_rec_server_extension import (Bitmap, Extractor, JSONStore, ScanOperation, Status,
                                             set_scan_listing)

from . import keys
from .query import bitmap_bytes

log = logging.getLogger("quillmark.server")

MANIFEST = "manifest.json"
MANIFEST_FORMAT = 1
ZAP_DOMAIN = "quillmark"
# Extractor factories a remote column may name.
COLUMN_FACTORIES = ("Raw", "String", "Bool", "Int", "Float", "Timestamp", "Time", "Date", "Duration")
_POLL_MS = 100  # how often the service threads look for a stop
# Handshakes that fail before the authenticator is asked (it logs its own refusals).
_HANDSHAKE_FAILURES = zmq.EVENT_HANDSHAKE_FAILED_NO_DETAIL | zmq.EVENT_HANDSHAKE_FAILED_PROTOCOL


# Manifest -------------------------------------------------------------------------------

def read_manifest(directory: str) -> Optional[dict]:
    """The manifest of `directory`, or None when there is none. Raises ValueError for a
    manifest that cannot be read: a store must not be started afresh over its data."""
    path = os.path.join(directory, MANIFEST)
    try:
        with open(path, "rb") as file:
            manifest = json.load(file)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        raise ValueError(f"unreadable manifest {path}: {error}") from error
    if not isinstance(manifest, dict) or not isinstance(manifest.get("snapshots"), list):
        raise ValueError(f"unreadable manifest {path}: no list of snapshots")
    return manifest


def write_atomically(path: str, data: bytes) -> None:
    """Replaces `path` atomically: written beside it, synced, renamed over it, and the
    rename synced, so that a crash leaves either the old file or the new one."""
    directory = os.path.dirname(os.path.abspath(path))
    temporary = f"{path}.{os.getpid()}.new"
    with open(temporary, "wb") as file:
        file.write(data)
        file.flush()
        os.fsync(file.fileno())
    os.replace(temporary, path)
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_manifest(directory: str, snapshots: List[dict]) -> None:
    """Replaces the manifest atomically (write_atomically)."""
    manifest = {"format": MANIFEST_FORMAT, "snapshots": snapshots}
    write_atomically(os.path.join(directory, MANIFEST), json.dumps(manifest, indent=1).encode())


def prune_checkpoints(directory: str, kept: Iterable[dict]) -> List[str]:
    """Deletes the checkpoints that no kept snapshot names; returns what it deleted."""
    tokens = {entry[key].upper() for entry in kept for key in ("index_token", "log_token")}
    deleted = []
    for folder in ("index-checkpoints", "cpr-checkpoints"):
        root = os.path.join(directory, folder)
        for token in (os.listdir(root) if os.path.isdir(root) else []):
            if token.upper() not in tokens:
                shutil.rmtree(os.path.join(root, token), ignore_errors=True)
                deleted.append(os.path.join(folder, token))
    for name in os.listdir(directory):
        if name.startswith("naming-checkpoint-") and name.endswith(".txt"):
            if name[len("naming-checkpoint-"):-len(".txt")].upper() not in tokens:
                os.remove(os.path.join(directory, name))
                deleted.append(name)
    return deleted


# Query requests -------------------------------------------------------------------------

class RequestError(ValueError):
    """A malformed query request."""


def _field(header: dict, key: str, kind, what: str):
    value = header.get(key)
    if not isinstance(value, kind) or (kind is int and isinstance(value, bool)):
        raise RequestError(f'"{key}" must be {what}, got {json.dumps(value)}')
    return value


def scan_arguments(header: dict) -> Tuple[str, ScanOperation, list, Optional[int], Optional[int]]:
    name = _field(header, "name", str, "a field name such as \"/a\"")
    operation = header.get("operation")
    if not isinstance(operation, str) or operation not in ScanOperation.__members__:
        raise RequestError(f'"operation" must be one of {", ".join(ScanOperation.__members__)}, '
                           f"got {json.dumps(operation)}")
    operands = _field(header, "operands", list, "a list of numbers, texts and booleans")
    for operand in operands:
        if not isinstance(operand, (str, int, float)):  # bool is an int
            raise RequestError(f"an operand must be a number, a text or a boolean, got {json.dumps(operand)}")
    bounds = []
    for key in ("from", "to"):
        bound = header.get(key)
        if bound is not None:
            bound = _field(header, key, int, "null or an address")
            if not 0 <= bound < 1 << 64:
                raise RequestError(f'"{key}" must be an address from 0 to 2^64 - 1, got {bound}')
        bounds.append(bound)
    return name, getattr(ScanOperation, operation), operands, bounds[0], bounds[1]


def build_extractor(columns: Any) -> Extractor:
    """The extractor of remote columns: [[column name, factory name, arguments...], ...]."""
    if not isinstance(columns, list) or not columns:
        raise RequestError('"columns" must be a non-empty list of [column name, factory name, arguments...]')
    pairs = []
    for column in columns:
        if (not isinstance(column, list) or len(column) < 2 or not isinstance(column[0], str)
                or column[1] not in COLUMN_FACTORIES):
            raise RequestError(f"a column must be [column name, factory name, arguments...] with a factory "
                               f"among {', '.join(COLUMN_FACTORIES)}, got {json.dumps(column)}")
        try:
            pairs.append((column[0], getattr(Extractor, column[1])(*column[2:])))
        except (TypeError, ValueError) as error:
            raise RequestError(f"column {json.dumps(column)}: {error}") from error
    return Extractor.record(pairs)


def _extraction(store: JSONStore, extractor: Extractor, bitmap: Bitmap) -> List[bytes]:
    encoded = store.extract(extractor, bitmap)
    return [b"OK"] if encoded is None else [b"OK", base64.b64decode(encoded)]


def _as_json(value: Any) -> List[bytes]:
    return [b"OK", json.dumps(value).encode()]


def _is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


class _AdmittedKeys:
    """ZAP credentials check of the query endpoint: admits the keys of KEYDIR/clients and
    logs every refusal."""

    def __init__(self, directory: str):
        self.keys = keys.admitted_client_keys(directory)

    def callback(self, domain: str, key: bytes) -> bool:
        if key in self.keys:
            return True
        log.warning("refused a query client with unknown CURVE key %s", key.decode(errors="replace"))
        return False


# The server -----------------------------------------------------------------------------

class RecordServer:
    """A store with its ingestion service, a query endpoint and snapshots on a schedule.

    `start` recovers the newest snapshot named by `directory`'s manifest (falling back to
    older ones should it fail) or starts a new store with `projections`. Ports 0 pick free
    ports, readable as `port` and `query_port` after `start`. `curve` is a key directory
    (see `quillmark.keys`): both endpoints then require CURVE and admit only the clients
    whose public keys are in its `clients/`. Requests larger than `max_message` bytes are
    dropped unread on both endpoints. `stop` answers every request already received,
    takes a final snapshot and releases the store and its directory (`store` is None
    from then on); a stopped server does not start again, a new one over the same
    directory does.
    """

    def __init__(self, directory, *, port: int = 5555, query_port: int = 5556, listen: str = "127.0.0.1",
                 threads: int = 2, log_memory: int = 1 << 30, projections: Sequence[str] = (),
                 snapshot_every: float = 60.0, keep: int = 2, curve=None, max_message: int = 256 << 20):
        if threads < 1:
            raise ValueError("threads must be at least 1: without a write thread no request is answered")
        if keep < 1:
            raise ValueError("keep must be at least 1: the manifest names the snapshot to restart into")
        if snapshot_every < 0:
            raise ValueError("snapshot_every must be 0 (off) or a number of seconds")
        self.directory = os.path.abspath(os.fspath(directory))
        self.port, self.query_port, self.listen = port, query_port, listen
        self.threads, self.log_memory, self.projections = threads, log_memory, list(projections)
        self.snapshot_every, self.keep, self.max_message = snapshot_every, keep, max_message
        self.curve = None if curve is None else os.fspath(curve)
        self.store: Optional[JSONStore] = None
        self.ingestion_endpoint = self.query_endpoint = ""
        self._snapshots: List[dict] = []
        self._base_records = 0      # records in the snapshot the store was recovered from
        self._snapshot_end = 0      # end address of the log at the last snapshot
        self._lock = threading.RLock()  # one store operation from the service's threads at a time
        self._stopping = threading.Event()
        self._threads: List[threading.Thread] = []
        self._context: Optional[zmq.Context] = None
        self._authenticator = None
        self._state = "new"

    # Lifecycle ---------------------------------------------------------------------------

    def start(self) -> str:
        """Starts the store, its ingestion service, the query endpoint and the snapshot
        timer; returns the one-line start message."""
        if self._state != "new":
            raise RuntimeError("a RecordServer starts once; make a new one to start again")
        self._state = "starting"
        try:
            message = self._start()
        except BaseException:
            self._state = "started"
            self.stop(final_snapshot=False)
            raise
        self._state = "started"
        return message

    def _start(self) -> str:
        manifest = read_manifest(self.directory) if os.path.isdir(self.directory) else None
        self.store = JSONStore(self.log_memory, self.directory, self.port)
        self.store.set_listen_address(self.listen)
        set_scan_listing(False)  # remote queries must not flood the service's output
        self._configure_ingestion()
        if manifest and manifest["snapshots"]:
            self._snapshots = manifest["snapshots"][-self.keep:]
            recovered = self._recover()
            self._base_records = int(recovered.get("records", 0))
            how = f"recovered snapshot {recovered['log_token']} of {recovered.get('created', '?')}"
        else:
            for name in self.projections:
                self.store.projection(name)
            self.store.run(self.threads)
            how = "new store" + (f" with projections {', '.join(self.projections)}" if self.projections else "")
        self._snapshot_end = self.store.end_address
        self.port = self.store.port
        self.ingestion_endpoint = f"tcp://{self.listen}:{self.port}"
        self._start_query_endpoint()
        if self.snapshot_every > 0:
            self._spawn(self._snapshot_on_schedule, "quillmark-snapshots")
        if self.curve is None and self.listen != "*" and _is_loopback(self.listen):
            security = "loopback only"
        elif self.curve is None:
            security = "WITHOUT authentication"
            log.warning("listening on %s without --curve: anyone who reaches it can write and query", self.listen)
        else:
            security = "CURVE"
        return (f"quillmark: {how} in {self.directory}, {self._base_records} records; ingestion "
                f"{self.ingestion_endpoint}, queries {self.query_endpoint} ({security})")

    def _recover(self) -> dict:
        """Recovers the newest snapshot that the engine accepts; older ones are tried when
        a newer one is damaged."""
        failures = []
        for position in reversed(range(len(self._snapshots))):
            entry = self._snapshots[position]
            try:
                self.store.recover(entry["index_token"], entry["log_token"], self.threads)
                del self._snapshots[position + 1:]  # the next manifest leaves out what failed
                return entry
            except RuntimeError as error:
                if "Unable to recover" not in str(error):
                    raise
                log.error("snapshot %s could not be recovered: %s", entry["log_token"], error)
                failures.append(f"{entry['log_token']}: {error}")
        raise RuntimeError(f"no snapshot named by {os.path.join(self.directory, MANIFEST)} could be "
                           f"recovered ({'; '.join(failures)})")

    def _configure_ingestion(self) -> None:
        self.store.set_max_message_size(-1 if self.max_message is None else self.max_message)
        if self.curve is not None:
            self.store.enable_curve(keys.server_secret_key(self.curve).decode(),
                                    [key.decode() for key in keys.admitted_client_keys(self.curve)])

    def _start_query_endpoint(self) -> None:
        self._context = zmq.Context()
        sock = self._context.socket(zmq.ROUTER)
        sock.setsockopt(zmq.LINGER, 1000)
        sock.setsockopt(zmq.MAXMSGSIZE, -1 if self.max_message is None else self.max_message)
        if self.curve is not None:
            # The authenticator must answer before the socket accepts its first peer: without
            # a handler, ZeroMQ would let every CURVE client in.
            self._authenticator = zmq.auth.thread.ThreadAuthenticator(self._context, log=logging.getLogger(
                "quillmark.server.zap"))
            self._authenticator.start()
            self._authenticator.configure_curve_callback(ZAP_DOMAIN, credentials_provider=_AdmittedKeys(self.curve))
            sock.curve_server = True
            sock.curve_secretkey = keys.server_secret_key(self.curve)
            sock.zap_domain = ZAP_DOMAIN.encode()
        if self.query_port == 0:
            self.query_port = sock.bind_to_random_port(f"tcp://{self.listen}")
        else:
            sock.bind(f"tcp://{self.listen}:{self.query_port}")
        self.query_endpoint = f"tcp://{self.listen}:{self.query_port}"
        self._query_socket = sock
        self._spawn(self._serve_queries, "quillmark-queries")

    def _spawn(self, target, name: str) -> None:
        thread = threading.Thread(target=target, name=name, daemon=True)
        thread.start()
        self._threads.append(thread)

    def stop(self, final_snapshot: bool = True) -> None:
        """Stops ingestion (every request received is answered), the query endpoint and
        the snapshot timer, takes a final snapshot when anything was ingested since the
        last one, and releases the store. Idempotent. Raises the final snapshot's error,
        after everything is released."""
        if self._state != "started":
            return
        self._state = "stopped"
        self._stopping.set()
        for thread in self._threads:
            thread.join()
        self._threads.clear()
        failure = None
        if self.store is not None:
            self.store.stop()
            if final_snapshot:
                try:
                    self.snapshot()
                except Exception as error:  # noqa: BLE001 - reported after the release
                    log.error("final snapshot failed: %s", error)
                    failure = error
        if self._authenticator is not None:
            self._authenticator.stop()
        if self._context is not None:
            self._context.destroy(linger=0)
        self.store = None  # releases the engine and the directory
        if failure is not None:
            raise failure

    def __enter__(self) -> "RecordServer":
        self.start()
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    # Snapshots ---------------------------------------------------------------------------

    def snapshot(self) -> Optional[dict]:
        """Takes a snapshot now when anything was ingested since the last one, replaces the
        manifest and prunes checkpoints to `keep`. Returns the newest manifest entry (None
        when nothing was ever stored). Raises RuntimeError when the snapshot fails; the
        manifest then still names the last good one.

        The entry's "records" counts the records acknowledged before the snapshot began;
        while writers go on, the snapshot may hold a few more."""
        with self._lock:
            store = self.store
            if store is None:
                raise RuntimeError("the server is not running")
            end = store.end_address
            if end == self._snapshot_end:
                return self._snapshots[-1] if self._snapshots else None
            _, records = store.stats()
            outcome = store.snapshot()
            index, log_half = outcome["index"], outcome["log"]
            if index["token"] == 0 and log_half["token"] == 0 and index["status"] == Status.NotFound:
                self._snapshot_end = end  # nothing ingested since the start: nothing to keep
                return self._snapshots[-1] if self._snapshots else None
            if index["status"] != Status.Ok or log_half["status"] != Status.Ok:
                raise RuntimeError(f"snapshot failed: index {index['status'].name}, log {log_half['status'].name}")
            entry = {"index_token": str(index["token"]).upper(), "log_token": str(log_half["token"]).upper(),
                     "records": self._base_records + records, "end_address": end,
                     "version": log_half["offset"], "projections": store.get_all_projections(),
                     "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")}
            kept = (self._snapshots + [entry])[-self.keep:]
            write_manifest(self.directory, kept)
            self._snapshots, self._snapshot_end = kept, end
            deleted = prune_checkpoints(self.directory, kept)
            log.info("snapshot %s: %d records, %d checkpoints pruned", entry["log_token"], entry["records"],
                     len(deleted))
            return entry

    def _snapshot_on_schedule(self) -> None:
        while not self._stopping.wait(self.snapshot_every):
            try:
                self.snapshot()
            except Exception as error:  # noqa: BLE001 - retried at the next tick
                log.error("snapshot failed, retrying in %s s: %s", self.snapshot_every, error)

    # Queries -----------------------------------------------------------------------------

    def _serve_queries(self) -> None:
        sock = self._query_socket
        poller = zmq.Poller()
        poller.register(sock, zmq.POLLIN)
        # A client without CURVE keys fails its handshake before the authenticator is
        # asked; the socket's monitor reports it so that the refusal is logged too.
        monitor = sock.get_monitor_socket(_HANDSHAKE_FAILURES) if self.curve is not None else None
        if monitor is not None:
            poller.register(monitor, zmq.POLLIN)
        try:
            while not self._stopping.is_set():
                ready = dict(poller.poll(_POLL_MS))
                if monitor in ready:
                    event = zmq.utils.monitor.recv_monitor_message(monitor)
                    log.warning("refused a query client on %s: handshake failed (%s)",
                                event["endpoint"].decode(errors="replace"), zmq.Event(event["event"]).name)
                if sock in ready:
                    self._answer_one(sock)
            while sock.poll(0):  # requests that arrived before the stop are answered
                self._answer_one(sock)
        except zmq.ZMQError as error:
            log.error("query endpoint ended: %s", error)
        finally:
            if monitor is not None:
                sock.disable_monitor()
                monitor.close(linger=0)
            sock.close(linger=1000)

    def _answer_one(self, sock: zmq.Socket) -> None:
        message = sock.recv_multipart()
        # [peer, (request id,) "", frames...] from a REQ client; the envelope ends at the
        # first empty frame. A DEALER may leave the delimiter out.
        try:
            split = message.index(b"", 1) + 1
        except ValueError:
            split = 1
        envelope, frames = message[:split], message[split:]
        try:
            reply = self.answer(frames)
        except RequestError as error:
            reply = [b"ERR", str(error).encode()]
        except Exception as error:  # noqa: BLE001 - the server goes on, the client hears why
            reply = [b"ERR", f"{type(error).__name__}: {error}".encode(errors="replace")]
        sock.send_multipart(envelope + reply)

    def answer(self, frames: List[bytes]) -> List[bytes]:
        """The reply frames to one query request (see `quillmark.query`)."""
        if not frames:
            raise RequestError("empty request: expected a JSON header frame")
        try:
            header = json.loads(frames[0])
        except ValueError as error:
            raise RequestError(f"the header frame is not JSON: {error}") from None
        if not isinstance(header, dict):
            raise RequestError("the header frame must be a JSON object")
        request = header.get("request")
        expected_frames = 2 if request == "extract" else 1
        if len(frames) != expected_frames:
            raise RequestError(f"{json.dumps(request)} takes {expected_frames} frame(s), got {len(frames)}")
        with self._lock:
            store = self.store
            if store is None:
                raise RequestError("the server is stopping")
            if request == "scan":
                return [b"OK", bitmap_bytes(store.scan(*scan_arguments(header)))]
            if request == "extract":
                extractor = build_extractor(header.get("columns"))
                try:
                    bitmap = Bitmap.read(frames[1])
                except ValueError as error:
                    raise RequestError(f"the bitmap frame cannot be read: {error}") from None
                return _extraction(store, extractor, bitmap)
            if request == "query":
                extractor = build_extractor(header.get("columns"))
                return _extraction(store, extractor, store.scan(*scan_arguments(header)))
            if request == "stats":
                bytes_ingested, records = store.stats()
                return _as_json({"bytes": bytes_ingested, "records": records, "end_address": store.end_address})
            if request == "projection":
                return _as_json(store.projection(_field(header, "name", str, "a field name such as \"/a\"")))
            if request == "projections":
                return _as_json(store.get_all_projections())
            if request == "snapshot":
                return _as_json(self.snapshot())
        raise RequestError(f"unknown request {json.dumps(request)}; one of scan, extract, query, stats, "
                           f"projection, projections, snapshot")
