"""The package's ingestion client against a real store: pipelined batches all land, and
each refusal arrives as its own error while the service goes on."""
import pytest

import quillmark
from store_helpers import make_store


def test_pipelined_client_against_a_running_store(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    store.projection("/kind")
    with quillmark.running(store, 2), quillmark.Client(f"tcp://127.0.0.1:{port}", timeout=10, window=16) as client:
        batches = [(b'{"kind": "a", "n": %d}\n{"kind": "b", "n": %d}' % (i, i), b"%d" % i) for i in range(500)]
        tags = list(client.send_many(batches))
        assert sorted(tags) == sorted(tag for _, tag in batches)

        with pytest.raises(quillmark.BadDataError) as refused:
            client.send(b'{"kind": ["not", "scalar"]}', b"list")
        assert refused.value.tag == b"list" and "scalar" in refused.value.message
        with pytest.raises(quillmark.BadDataError, match="byte"):
            client.send(b'{"kind": "a"', b"cut")
        with pytest.raises(quillmark.NoDataError):
            client.send(b"", b"empty")
        assert client.send(b'{"kind": "c"}', b"after") == b"after"
    assert not store.is_running()
    assert store.stats()[1] == 1001
