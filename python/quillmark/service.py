"""Scoping the ingestion service to a block."""
import contextlib


@contextlib.contextmanager
def running(store, workers: int = 1):
    """Starts `store`'s ingestion service with `workers` write threads and stops it when
    the block ends, also when the block raises.

        with quillmark.running(store, 2):
            client.send(batch)
    """
    store.run(workers)
    try:
        yield store
    finally:
        store.stop()
