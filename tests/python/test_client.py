"""The ingestion client against a stand-in service that speaks the same protocol."""
import threading

import pytest
import zmq

import quillmark


class StandInService:
    """ROUTER socket on loopback answering like the store's service: "OK" + tag for a
    JSON payload, the error replies for the other cases, and nothing for b"silence"."""

    def __init__(self):
        self.context = zmq.Context()
        self.socket = self.context.socket(zmq.ROUTER)
        self.socket.bind("tcp://127.0.0.1:*")
        self.endpoint = self.socket.getsockopt_string(zmq.LAST_ENDPOINT)
        self.received = []
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while not self.stopping.is_set():
            if not self.socket.poll(50):
                continue
            identity, delimiter, *frames = self.socket.recv_multipart()
            self.received.append(frames)
            if len(frames) != 2:
                reply = [b"ERR_MSG_COUNT"]
            elif not frames[0]:
                reply = [b"ERR_NO_DATA", frames[1]]
            elif frames[0] == b"silence":
                continue
            elif frames[0] == b"busy":
                reply = [b"ERR_BUSY", frames[1]]
            elif not frames[0].lstrip().startswith(b"{"):
                reply = [b"ERR_BAD_DATA", frames[1], b"malformed JSON at byte 0"]
            else:
                reply = [b"OK", frames[1]]
            self.socket.send_multipart([identity, delimiter] + reply)

    def close(self):
        self.stopping.set()
        self.thread.join(timeout=5)
        self.socket.close(linger=0)
        self.context.term()


@pytest.fixture
def service():
    stand_in = StandInService()
    yield stand_in
    stand_in.close()


def test_pipelined_batches_are_all_acknowledged_in_order(service):
    with quillmark.Client(service.endpoint, timeout=5, window=8) as client:
        batches = [(b'{"n": %d}\n{"n": %d}' % (i, i + 1), b"tag-%d" % i) for i in range(500)]
        tags = list(client.send_many(batches))
        assert tags == [tag for _, tag in batches]
        assert client.sent == client.acknowledged == 500
        assert client.send_records([{"a": 1}, '{"b": 2}', b'{"c": 3}'], tag=b"") == b""
        assert service.received[-1] == [b'{"a":1}\n{"b": 2}\n{"c": 3}', b""]


def test_error_replies_raise_and_leave_the_client_usable(service):
    with quillmark.Client(service.endpoint, timeout=5, window=4) as client:
        with pytest.raises(quillmark.NoDataError) as error:
            client.send(b"", tag=b"t1")
        assert error.value.tag == b"t1"
        with pytest.raises(quillmark.BadDataError, match="malformed JSON at byte 0"):
            client.send(b"not json", tag=b"t2")
        with pytest.raises(quillmark.BusyError):
            client.send(b"busy", tag=b"t3")
        # An error in the middle of a pipelined stream: later replies still in flight are
        # read and dropped before the next call, never taken for its reply.
        stream = [(b'{"ok": 1}', b"a"), (b"oops", b"b"), (b'{"ok": 2}', b"c"), (b'{"ok": 3}', b"d")]
        with pytest.raises(quillmark.BadDataError):
            list(client.send_many(stream))
        assert client.send(b'{"after": true}', tag=b"fresh") == b"fresh"


def test_missing_reply_times_out(service):
    with quillmark.Client(service.endpoint, timeout=0.3) as client:
        with pytest.raises(quillmark.ReplyTimeout):
            client.send(b"silence", tag=b"x")


def test_window_must_be_positive(service):
    with pytest.raises(ValueError):
        quillmark.Client(service.endpoint, window=0)


def test_to_table_and_running():
    assert quillmark.to_table(None) is None
    table = quillmark.to_table(quillmark.generate_test_arrow_as_b64_string())
    assert table.column_names == ["Day", "Month", "Year"] and table.num_rows == 5

    class Store:
        def __init__(self):
            self.calls = []

        def run(self, workers):
            self.calls.append(("run", workers))

        def stop(self):
            self.calls.append(("stop",))

    store = Store()
    with pytest.raises(KeyError):
        with quillmark.running(store, 3):
            raise KeyError("inside the block")
    assert store.calls == [("run", 3), ("stop",)]
