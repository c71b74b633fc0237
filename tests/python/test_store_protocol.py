"""The ingestion protocol as a remote writer sees it: one reply per request, whatever
the request holds, and a worker that keeps serving after every refusal."""
import zmq

from store_helpers import FIRST_ADDRESS, batch_size, client, make_store, request


def test_every_request_gets_one_reply_and_the_worker_keeps_serving(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    store.projection("/object")
    store.run(1)  # one worker: every reply below comes from the same thread
    accepted = []
    with client(port) as requests:
        good = b'{"a": 1}\n{"a": 2, "b": "x"}\n'
        assert request(requests, good, b"t1") == [b"OK", b"t1"]
        accepted.append(good)
        assert request(requests, b'{"a": 3}', b"") == [b"OK", b""]
        accepted.append(b'{"a": 3}')

        assert request(requests, b'{"a": 4}') == [b"ERR_MSG_COUNT"]
        assert request(requests, b'{"a": 4}', b"t", b"extra") == [b"ERR_MSG_COUNT"]
        assert request(requests, b"", b"t2") == [b"ERR_NO_DATA", b"t2"]

        # A batch is all or nothing: a good first document does not go in when the
        # second one is broken.
        reply = request(requests, b'{"a": 5}\n{"a": ', b"t3")
        assert reply[:2] == [b"ERR_BAD_DATA", b"t3"] and b"byte" in reply[2]
        for value in (b'{"x": 1}', b"[1, 2]", b"null"):
            reply = request(requests, b'{"a": 6}\n{"object": ' + value + b"}", b"t4")
            assert reply[:2] == [b"ERR_BAD_DATA", b"t4"], value
            assert b"scalar" in reply[2]

        last = b'{"a": 7}'
        assert request(requests, last, b"t5") == [b"OK", b"t5"]
        accepted.append(last)
    assert store.stats() == (sum(len(p) for p in accepted), 4)
    assert store.end_address == FIRST_ADDRESS + sum(batch_size(p) for p in accepted)
    store.stop()


def test_a_service_without_workers_answers_nothing(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    store.run(0)
    assert store.is_running()
    with client(port, timeout_ms=1000) as requests:
        requests.send_multipart([b'{"a": 1}', b"t"])
        try:
            requests.recv_multipart()
            raise AssertionError("a service without workers replied")
        except zmq.Again:
            pass
    store.stop()
    assert store.stats() == (0, 0)
