"""JSONStore from Python: argument conversion, construction errors, direct saves, the
ingestion lock and the projection table."""
import os

import pytest

from store_helpers import FIRST_ADDRESS, LOG_SIZE, batch_size, free_port, make_store


def test_arguments_are_positional_unsigned_integers(ext, tmp_path):
    path = str(tmp_path / "store")
    with pytest.raises(TypeError):
        ext.JSONStore(LOG_SIZE, path, port=5555)
    with pytest.raises(TypeError):
        ext.JSONStore(-1, path, free_port())
    with pytest.raises(TypeError):
        ext.JSONStore(float(LOG_SIZE), path, free_port())
    with pytest.raises(TypeError):
        ext.JSONStore(LOG_SIZE, path, 2**32)
    store = ext.JSONStore(LOG_SIZE, path, free_port())
    for bad in (-1, 2.0, None, "1"):
        with pytest.raises(TypeError):
            store.run(bad)
    with pytest.raises(TypeError):
        store.save(data=b"{}")
    with pytest.raises(TypeError):
        store.save(None)
    with pytest.raises(AttributeError):
        store.end_address = 5
    assert not store.is_running()


def test_construction_checks_directory_and_log_size(ext, tmp_path):
    missing_parent = tmp_path / "no" / "store"
    with pytest.raises(RuntimeError, match="create_directory"):
        ext.JSONStore(LOG_SIZE, str(missing_parent), free_port())
    assert not (tmp_path / "no").exists()
    with pytest.raises(ValueError, match="Must have at least 2 non-head pages"):
        ext.JSONStore(160 * 1024 * 1024, str(tmp_path / "small"), free_port())
    with pytest.raises(ValueError, match="Log size must be a multiple of 32 MB"):
        ext.JSONStore(LOG_SIZE + 1, str(tmp_path / "odd"), free_port())
    existing = tmp_path / "existing"
    existing.mkdir()
    ext.JSONStore(LOG_SIZE, str(existing), free_port())
    ext.JSONStore(LOG_SIZE, str(existing), free_port())  # over an existing store directory too


def test_save_accepts_text_bytes_and_bytearray_and_counts_exactly(ext, tmp_path):
    store, _ = make_store(ext, tmp_path / "store")
    assert store.end_address == FIRST_ADDRESS
    batches = ['{"a": 1}\n{"a": "é"}\n', b'{"b": 2}', bytearray(b'{"c": 3}\n{"c": 4}\n{"c": 5}')]
    expected_bytes = 0
    expected_end = FIRST_ADDRESS
    for batch in batches:
        raw = batch.encode() if isinstance(batch, str) else bytes(batch)
        assert store.save(batch) == raw.count(b"}")
        expected_bytes += len(raw)
        expected_end += batch_size(raw)
    assert store.stats() == (expected_bytes, 6)
    assert store.end_address == expected_end


def test_refused_saves_insert_nothing_and_leave_the_counters(ext, tmp_path):
    store, _ = make_store(ext, tmp_path / "store")
    store.save(b'{"k": 1}')
    before = (store.stats(), store.end_address)
    with pytest.raises(ValueError, match="byte"):
        store.save(b'{"k": 2}\n{"k": ')
    with pytest.raises(ValueError):
        store.save(b'{"k": 2} trailing')
    store.projection("/k")
    for value in (b"{}", b"[]", b"null"):
        with pytest.raises(RuntimeError, match="The field does not contain a scalar type"):
            store.save(b'{"k": 3}\n{"k": ' + value + b"}")
    assert (store.stats(), store.end_address) == before

    store.lock_data_ingestion()
    assert store.is_locked()
    assert store.save(b'{"k": 4}') == 0
    assert (store.stats(), store.end_address) == before
    store.unlock_data_ingestion()
    assert not store.is_locked()
    assert store.save(b'{"k": 4}') == 1


def test_projection_table(ext, tmp_path):
    store, _ = make_store(ext, tmp_path / "store")
    assert store.get_all_projections() == [] and not store.projection_exits("/b")
    store.save(b'{"b": 1}')
    # The empty name would select whole documents and refuse every later object.
    with pytest.raises(ValueError, match="field name"):
        store.projection("")
    assert store.save(b'{"b": 1}') == 1
    active_from = store.projection("/b")
    assert active_from == store.end_address
    # Asking again registers nothing and reports where the projection began.
    store.save(b'{"b": 2}')
    assert store.projection("/b") == active_from
    assert store.create_new_projection("/b") == active_from
    assert store.create_new_projection("/a") == store.end_address
    names = ["/b", "/a", "/Z", "/é", "/~1"]
    for name in names:
        store.projection(name)
    assert store.get_all_projections() == sorted(names, key=lambda n: n.encode())
    assert store.projection_exits("/a") and not store.projection_exits("/c")

    # A projected field now adds a key pointer to each record that has it.
    end = store.end_address
    store.save(b'{"b": 3}')
    assert store.end_address - end > batch_size(b'{"b": 3}')

    store.delete_projection("/b")
    store.delete_projection("/never")  # nothing to delete
    assert not store.projection_exits("/b")
    end = store.end_address
    store.save(b'{"b": 3}')
    assert store.end_address - end == batch_size(b'{"b": 3}')
    store.save(b'{"b": {"no": "longer projected"}}')

    store.delete_all_projections()
    assert store.get_all_projections() == []
    store.save(b'{"a": [1], "Z": null}')  # nothing projected, anything goes
    # A deleted name can be projected again.
    store.projection("/b")
    assert store.get_all_projections() == ["/b"]


def test_store_directory_is_created_with_the_store(ext, tmp_path):
    path = tmp_path / "fresh"
    make_store(ext, path)
    assert os.path.isdir(path)
