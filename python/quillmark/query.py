"""Remote queries: the request/reply protocol of a record server's query endpoint and
its client.

A request is a JSON header frame, followed by a bitmap frame for "extract":

    {"request": "scan", "name": "/a", "operation": "EQ", "operands": ["x"],
     "from": null, "to": null}                          -> ["OK", bitmap]
    {"request": "extract", "columns": [...]} + bitmap    -> ["OK", Arrow IPC stream]
    {"request": "query", <scan's fields>, "columns": [...]}  -> ["OK", Arrow IPC stream]
    {"request": "stats"}                                 -> ["OK", JSON object]
    {"request": "projection", "name": "/a"}              -> ["OK", JSON address]
    {"request": "projections"}                           -> ["OK", JSON list of names]
    {"request": "snapshot"}                              -> ["OK", JSON manifest entry or null]

Every failure is answered ["ERR", message]. Bitmaps travel in `Bitmap.write`'s portable
form. Columns are a list of [column name, factory name, factory arguments...], the
factory being one of `Extractor`'s, for example ["icao", "String", "/icao", None]. An
extraction of no records is answered ["OK"] with no stream.
"""
import json
from typing import Any, Iterable, List, Optional, Sequence, Union

import pyarrow as pa
import zmq

from _quillmark_rec_server_extension import Bitmap, ScanOperation

from .client import ReplyTimeout
from .keys import PathLike, use_client_keys

Columns = Sequence[Sequence[Any]]


class QueryError(RuntimeError):
    """The server refused a query request; the message is the server's."""


def bitmap_bytes(bitmap: Bitmap) -> bytes:
    """A bitmap in the portable form `Bitmap.read` takes."""
    buffer = bytearray(bitmap.persisted_size())
    written = bitmap.write(buffer)
    return bytes(buffer[:written])


def empty_table(columns: Columns) -> pa.Table:
    """The table of an extraction of no records: the column names, with no type known."""
    return pa.table({str(column[0]): pa.array([], type=pa.null()) for column in columns})


def read_table(frames: List[bytes], columns: Columns) -> pa.Table:
    if len(frames) < 2:
        return empty_table(columns)
    return pa.ipc.open_stream(frames[1]).read_all()


def operation_name(operation: Union[ScanOperation, str]) -> str:
    return operation.name if isinstance(operation, ScanOperation) else str(operation)


class QueryClient:
    """Asks a record server's query endpoint.

        with QueryClient("tcp://127.0.0.1:5556") as queries:
            hits = queries.scan("/country", "EQ", ["NZ"])
            table = queries.extract([["icao", "String", "/icao", None]], hits)

    `curve` is a key directory (see `quillmark.keys`) for a server that requires CURVE.
    Errors raise QueryError with the server's message; no reply within `timeout` seconds
    raises ReplyTimeout, after which the client can go on with new requests. Like its
    ZeroMQ socket, a client serves one thread at a time.
    """

    def __init__(self, endpoint: str, timeout: float = 30.0, curve: Optional[PathLike] = None,
                 context: Optional[zmq.Context] = None):
        self.endpoint, self.timeout = endpoint, timeout
        self._own_context = context is None
        self._context = context or zmq.Context()
        self._socket = self._context.socket(zmq.REQ)
        # A request left without a reply must not stop the next one, and its late reply
        # must not be taken for the next one's.
        self._socket.setsockopt(zmq.REQ_RELAXED, 1)
        self._socket.setsockopt(zmq.REQ_CORRELATE, 1)
        self._socket.setsockopt(zmq.LINGER, 0)
        if curve is not None:
            use_client_keys(self._socket, curve)
        self._socket.connect(endpoint)

    def request(self, header: dict, *frames: bytes) -> List[bytes]:
        """Sends one request and returns the frames after "OK"."""
        self._socket.send_multipart([json.dumps(header).encode(), *frames])
        if not self._socket.poll(max(1, int(self.timeout * 1000))):
            raise ReplyTimeout(f"no reply from {self.endpoint} within {self.timeout} s")
        reply = self._socket.recv_multipart()
        if reply[:1] == [b"OK"]:
            return reply
        message = reply[1].decode(errors="replace") if len(reply) > 1 else repr(reply)
        raise QueryError(message)

    def _json(self, header: dict) -> Any:
        return json.loads(self.request(header)[1])

    @staticmethod
    def _scan_header(name: str, operation: Union[ScanOperation, str], operands: Iterable[Any],
                     start: Optional[int], end: Optional[int]) -> dict:
        if isinstance(operands, (str, bytes)):
            raise TypeError("operands must be a list of values, such as [\"NZ\"]")
        return {"name": name, "operation": operation_name(operation), "operands": list(operands),
                "from": start, "to": end}

    def scan(self, name: str, operation: Union[ScanOperation, str], operands: Iterable[Any],
             start: Optional[int] = None, end: Optional[int] = None) -> Bitmap:
        """The addresses of the records whose field `name` satisfies `operation` against
        `operands`, between the inclusive address bounds."""
        header = {"request": "scan", **self._scan_header(name, operation, operands, start, end)}
        return Bitmap.read(self.request(header)[1])

    def extract(self, columns: Columns, bitmap: Bitmap) -> pa.Table:
        """The records of `bitmap` as a table of `columns`."""
        columns = [list(column) for column in columns]
        return read_table(self.request({"request": "extract", "columns": columns}, bitmap_bytes(bitmap)), columns)

    def query(self, name: str, operation: Union[ScanOperation, str], operands: Iterable[Any], columns: Columns,
              start: Optional[int] = None, end: Optional[int] = None) -> pa.Table:
        """`scan` and `extract` in one round trip."""
        columns = [list(column) for column in columns]
        header = {"request": "query", **self._scan_header(name, operation, operands, start, end), "columns": columns}
        return read_table(self.request(header), columns)

    def stats(self) -> dict:
        """{"bytes", "records", "end_address"}: what the server ingested since it started
        (or recovered) and where its log ends."""
        return self._json({"request": "stats"})

    def projection(self, name: str) -> int:
        """Indexes field `name` from now on; returns the log address it is active from."""
        return self._json({"request": "projection", "name": name})

    def projections(self) -> List[str]:
        return self._json({"request": "projections"})

    def snapshot(self) -> Optional[dict]:
        """Has the server snapshot now; returns its manifest entry (None: nothing stored yet)."""
        return self._json({"request": "snapshot"})

    def close(self) -> None:
        self._socket.close(linger=0)
        if self._own_context:
            self._context.term()

    def __enter__(self) -> "QueryClient":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
