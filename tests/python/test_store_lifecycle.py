"""Starting, stopping and releasing the ingestion service: threads joined, ports given
back, failures to start reported to the caller with nothing left running."""
import gc
import socket

import pytest

from store_helpers import client, free_port, make_store, request


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def test_run_stop_cycles_serve_each_time_and_stop_is_idempotent(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    for cycle in range(3):
        store.run(2)
        with client(port) as requests:
            assert request(requests, b'{"cycle": %d}' % cycle, b"c") == [b"OK", b"c"]
        store.stop()
        assert not store.is_running()
        store.stop()  # a second stop does nothing
    assert store.stats()[1] == 3


def test_run_while_running_is_refused_and_the_first_service_keeps_serving(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    store.run(1)
    with pytest.raises(RuntimeError, match="The server is already running"):
        store.run(2)
    assert store.is_running()
    with client(port) as requests:
        assert request(requests, b"{}", b"still") == [b"OK", b"still"]
    store.stop()


def test_a_port_in_use_fails_run_and_leaves_the_service_stopped(ext, tmp_path):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen(1)
        port = holder.getsockname()[1]
        store, _ = make_store(ext, tmp_path / "store", port)  # construction does not test the port
        with pytest.raises(RuntimeError, match="in use"):
            store.run(2)
        assert not store.is_running()
        store.stop()
    # Once the port is free the same store starts normally.
    store.run(1)
    with client(port) as requests:
        assert request(requests, b"{}", b"t") == [b"OK", b"t"]
    store.stop()


def test_bad_listen_address_and_too_many_workers_are_refused(ext, tmp_path):
    store, _ = make_store(ext, tmp_path / "store")
    store.set_listen_address("not an address")
    with pytest.raises(RuntimeError):
        store.run(1)
    assert not store.is_running()
    store.set_listen_address("127.0.0.1")
    with pytest.raises(ValueError, match="Too many write threads"):
        store.run(65)
    assert not store.is_running()


def test_releasing_a_running_store_joins_its_threads_and_frees_the_port(ext, tmp_path):
    store, port = make_store(ext, tmp_path / "store")
    store.run(2)
    assert not port_is_free(port)
    del store
    gc.collect()
    assert port_is_free(port)
    # A new store on the same directory and port starts at once.
    again, _ = make_store(ext, tmp_path / "store", port)
    again.run(1)
    with client(port) as requests:
        assert request(requests, b"{}", b"t") == [b"OK", b"t"]
    again.stop()


def test_two_stores_in_one_process_serve_independently(ext, tmp_path):
    first, first_port = make_store(ext, tmp_path / "one")
    second, second_port = make_store(ext, tmp_path / "two")
    first.run(1)
    second.run(1)
    with client(first_port) as requests:
        assert request(requests, b"{} {}", b"1") == [b"OK", b"1"]
    with client(second_port) as requests:
        assert request(requests, b"{}", b"2") == [b"OK", b"2"]
    first.stop()
    with client(second_port) as requests:
        assert request(requests, b"{}", b"3") == [b"OK", b"3"]
    second.stop()
    assert first.stats() == (5, 2)
    assert second.stats() == (4, 2)


def test_stop_from_another_thread_while_projection_runs(ext, tmp_path):
    import threading

    store, port = make_store(ext, tmp_path / "store")
    store.run(2)
    errors = []

    def project():
        try:
            for i in range(20):
                store.projection(f"/field{i}")
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    projector = threading.Thread(target=project)
    projector.start()
    store.stop()
    projector.join(30)
    assert not projector.is_alive() and errors == []
    assert store.get_all_projections() == sorted(f"/field{i}" for i in range(20))
    assert not store.is_running()
    assert free_port() > 0
