"""Client for the store's ingestion service.

A request is two frames, [payload, tag]; the payload is one or more JSON documents
separated by white space. The service answers ["OK", tag] or an error reply:
["ERR_NO_DATA", tag], ["ERR_MSG_COUNT"], ["ERR_BAD_DATA", tag, message] or
["ERR_BUSY", tag]. The client pipelines up to `window` requests on one DEALER socket,
so a stream of batches does not pay one round trip each.
"""
import json
import time
from typing import Iterable, Iterator, List, Optional, Tuple, Union

import zmq

from .keys import use_client_keys

Payload = Union[bytes, bytearray, memoryview, str]


class IngestionError(RuntimeError):
    """The service refused a request."""

    def __init__(self, reply: str, tag: Optional[bytes], message: str = ""):
        self.reply, self.tag, self.message = reply, tag, message
        super().__init__(f"{reply}" + (f" (tag {tag!r})" if tag is not None else "") +
                         (f": {message}" if message else ""))


class NoDataError(IngestionError):
    """The payload was empty."""


class MessageCountError(IngestionError):
    """The request did not have exactly two frames."""


class BadDataError(IngestionError):
    """The batch was refused as a whole (malformed JSON, a projected value that is not a scalar)."""


class BusyError(IngestionError):
    """The store stayed busy (a checkpoint or projection change) past the service's wait."""


class ReplyTimeout(TimeoutError):
    """No reply arrived in time."""


_ERRORS = {b"ERR_NO_DATA": NoDataError, b"ERR_MSG_COUNT": MessageCountError,
           b"ERR_BAD_DATA": BadDataError, b"ERR_BUSY": BusyError}


def encode_records(records: Iterable[Union[dict, list, str, bytes]]) -> bytes:
    """Joins records (dicts, lists, or already-encoded JSON texts) into one payload, one per line."""
    lines = []
    for record in records:
        if isinstance(record, (bytes, bytearray)):
            lines.append(bytes(record))
        elif isinstance(record, str):
            lines.append(record.encode())
        else:
            lines.append(json.dumps(record, separators=(",", ":")).encode())
    return b"\n".join(lines)


class Client:
    """Sends batches to a store's ingestion service.

        with Client("tcp://127.0.0.1:5555") as client:
            client.send(b'{"a": 1}\\n{"a": 2}', tag=b"first")
            replies = client.send_many(batches)

    `curve` is a key directory (see `quillmark.keys`) for a service that requires CURVE.
    """

    def __init__(self, endpoint: str, timeout: float = 30.0, window: int = 64,
                 context: Optional[zmq.Context] = None, curve=None):
        if window < 1:
            raise ValueError("window must be at least 1")
        self.endpoint, self.timeout, self.window = endpoint, timeout, window
        self._own_context = context is None
        self._context = context or zmq.Context()
        self._socket = self._context.socket(zmq.DEALER)
        self._socket.setsockopt(zmq.LINGER, 0)
        if curve is not None:
            use_client_keys(self._socket, curve)
        self._socket.connect(endpoint)
        self.sent = 0
        self.acknowledged = 0
        self._outstanding = 0  # requests sent whose reply has not been read

    def send(self, payload: Payload, tag: bytes = b"") -> bytes:
        """Sends one batch and waits for its reply; returns the tag. Raises IngestionError."""
        for reply_tag in self.send_many([(payload, tag)]):
            return reply_tag
        raise AssertionError("unreachable")

    def send_records(self, records: Iterable[Union[dict, str, bytes]], tag: bytes = b"") -> bytes:
        """Encodes records as JSON lines and sends them as one batch."""
        return self.send(encode_records(records), tag)

    def send_many(self, batches: Iterable[Tuple[Payload, bytes]]) -> Iterator[bytes]:
        """Sends (payload, tag) batches with up to `window` in flight and yields each reply's
        tag in the order replies arrive. Raises IngestionError on the first error reply and
        ReplyTimeout when no reply comes within `timeout` seconds."""
        self._discard_outstanding()
        in_flight = 0
        for payload, tag in batches:
            if isinstance(payload, str):
                payload = payload.encode()
            while in_flight >= self.window:
                yield self._receive()
                in_flight -= 1
            self._socket.send_multipart([b"", payload, tag], copy=len(payload) < 65536)
            self.sent += 1
            self._outstanding += 1
            in_flight += 1
        while in_flight:
            yield self._receive()
            in_flight -= 1

    def _receive(self) -> bytes:
        deadline = time.monotonic() + self.timeout
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0 or not self._socket.poll(int(remaining * 1000) + 1):
                if time.monotonic() >= deadline:
                    raise ReplyTimeout(f"no reply from {self.endpoint} within {self.timeout} s")
                continue
            frames: List[bytes] = self._socket.recv_multipart()
            self._outstanding -= 1
            if frames and frames[0] == b"":
                frames = frames[1:]  # the request-reply delimiter
            status = frames[0] if frames else b""
            if status == b"OK":
                self.acknowledged += 1
                return frames[1] if len(frames) > 1 else b""
            error = _ERRORS.get(status, IngestionError)
            tag = frames[1] if len(frames) > 1 else None
            message = frames[2].decode(errors="replace") if len(frames) > 2 else ""
            raise error(status.decode(errors="replace"), tag, message)

    def _discard_outstanding(self) -> None:
        """Reads the replies left over when an earlier call stopped at an error, so that
        they are not taken for the replies of new requests."""
        while self._outstanding > 0:
            try:
                self._receive()
            except IngestionError:
                pass

    def close(self) -> None:
        self._socket.close(linger=0)
        if self._own_context:
            self._context.term()

    def __enter__(self) -> "Client":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
