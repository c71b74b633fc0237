"""Loading JSON-lines files into a store."""
import gzip
import os
import re
from typing import Iterator, Union

from tqdm.auto import tqdm

_BATCH_OFFSET = re.compile(r"\bat byte (\d+)")


class LoadError(ValueError):
    """The store refused a batch of the file.

    `offset` is the position of the offending byte in the file's text (the uncompressed
    text of a .gz file), or of the batch's first byte when the store names no byte (a
    projected value that is not a scalar); `records` is the number of records stored
    before that batch, which stay stored.
    """

    def __init__(self, message: str, offset: int, records: int):
        super().__init__(message)
        self.offset, self.records = offset, records


def _batches(reader, batch_bytes: int) -> Iterator[bytes]:
    """Successive blocks of about `batch_bytes`, each ending at a line end (the last
    one at the end of the input). A line longer than `batch_bytes` is one batch."""
    rest = b""
    while True:
        chunk = reader.read(batch_bytes)
        if not chunk:
            if rest:
                yield rest
            return
        data = rest + chunk if rest else chunk
        cut = data.rfind(b"\n") + 1
        if cut == 0:
            rest = data
            continue
        rest = data[cut:]
        yield data if cut == len(data) else data[:cut]


def load_file(store, path: Union[str, "os.PathLike[str]"], batch_bytes: int = 32 << 20,
              progress: bool = True) -> int:
    """Stores the records of a JSON-lines file (gzip-compressed or not) and returns their number.

    The file is read in batches of about `batch_bytes`, cut at line ends, and each batch
    is stored with `store.load`, all or nothing. A progress bar (tqdm, on standard error)
    shows the bytes read, the rate and the records stored; `progress=False` hides it.

    Raises LoadError (a ValueError) when the store refuses a batch, for malformed JSON or
    a projected value that is not a scalar: its message and `offset` give the position of
    the offending byte in the file's text, and every record before that batch stays
    stored. Raises RuntimeError when the store's ingestion is locked, or the errors of
    `store.load` (for example while a checkpoint runs), and OSError for an unreadable file.
    """
    if batch_bytes < 1:
        raise ValueError(f"batch_bytes must be positive, not {batch_bytes}")
    path = os.fspath(path)
    records = 0
    with open(path, "rb") as raw:
        compressed = raw.read(2) == b"\x1f\x8b"
        raw.seek(0)
        reader = gzip.GzipFile(fileobj=raw, mode="rb") if compressed else raw
        with tqdm(total=os.fstat(raw.fileno()).st_size, unit="B", unit_scale=True,
                  desc=os.path.basename(path), disable=not progress) as bar:
            offset = 0  # of the batch's first byte in the file's text
            for batch in _batches(reader, batch_bytes):
                records += _load_batch(store, batch, path, offset, records)
                offset += len(batch)
                bar.set_postfix(records=records, refresh=False)
                bar.update(raw.tell() - bar.n)
    return records


def _load_batch(store, batch: bytes, path: str, offset: int, records: int) -> int:
    try:
        count = store.load(batch)
    except (ValueError, RuntimeError) as error:
        message = str(error)
        found = _BATCH_OFFSET.search(message)
        if found is not None:
            bad_byte = offset + int(found.group(1))
            message = f"{message[:found.start()]}at byte {bad_byte}{message[found.end():]}"
        elif "scalar" in message:
            # The store does not say which record holds the value: name the batch.
            bad_byte = offset
            message = f"a record of the batch at bytes {offset} to {offset + len(batch)}: {message}"
        else:
            raise
        raise LoadError(f"{path}: {message} ({records} records stored before this batch)", bad_byte,
                        records) from error
    if count == 0 and store.is_locked() and batch.strip():
        raise RuntimeError(f"{path}: ingestion is locked; {records} records stored before byte {offset}")
    return count
