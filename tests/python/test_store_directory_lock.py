"""One live store per directory: a second JSONStore over a directory that a live store
holds, in this process or another, is refused before it touches the log, and the
directory is free again once the holder is released or its process dies."""
import gc
import os
import subprocess
import sys
import textwrap

import pytest

from store_helpers import LOG_SIZE, free_port, make_store

IN_USE = "store directory is in use"

HOLDER = textwrap.dedent(
    """
    import sys
    import _quillmark_rec_server_extension as ext
    store = ext.JSONStore(int(sys.argv[2]), sys.argv[1], int(sys.argv[3]))
    print("held", flush=True)
    sys.stdin.readline()
    """
)


def start_holder(path):
    """A child process holding a store over `path`, once it has said so (the store's
    log lines may come first on its standard output)."""
    child = subprocess.Popen(
        [sys.executable, "-c", HOLDER, str(path), str(LOG_SIZE), str(free_port())],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=dict(os.environ),
    )
    for line in child.stdout:
        if line.strip() == "held":
            return child
    child.wait(timeout=60)
    pytest.fail(f"the holder process exited with {child.returncode} before holding the store")


def test_second_store_in_process_is_refused_and_leaves_the_holder_intact(ext, tmp_path):
    path = tmp_path / "store"
    holder, _ = make_store(ext, path)
    assert holder.save(b'{"a":1}\n{"a":2}\n') == 2
    end = holder.end_address
    log_files = {name: os.path.getsize(path / name) for name in os.listdir(path)}

    for _ in range(3):
        with pytest.raises(RuntimeError, match=IN_USE):
            ext.JSONStore(LOG_SIZE, str(path), free_port())
    # The refused stores opened, truncated and removed nothing.
    assert {name: os.path.getsize(path / name) for name in os.listdir(path)} == log_files
    assert holder.end_address == end
    assert holder.save(b'{"a":3}') == 1
    assert holder.end_address > end

    del holder
    gc.collect()
    successor, _ = make_store(ext, path)
    assert successor.save(b'{"b":1}') == 1
    # A different directory was never affected.
    other, _ = make_store(ext, tmp_path / "other")
    assert other.save(b"{}") == 1


def test_store_in_another_process_holds_the_directory_until_it_exits(ext, tmp_path):
    path = tmp_path / "store"
    child = start_holder(path)
    try:
        with pytest.raises(RuntimeError, match=IN_USE):
            ext.JSONStore(LOG_SIZE, str(path), free_port())
    finally:
        child.stdin.close()
        child.stdout.read()  # its log lines at exit
        assert child.wait(timeout=60) == 0
    store, _ = make_store(ext, path)
    assert store.save(b'{"a":1}') == 1

    # And the other way round, with the child killed rather than exiting cleanly: the
    # directory is free at once, with no stale lock file to clean up.
    del store
    gc.collect()
    child = start_holder(path)
    child.kill()
    child.wait(timeout=60)
    store, _ = make_store(ext, path)
    assert store.save(b"{}") == 1
