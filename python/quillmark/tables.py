"""Arrow helpers for extraction results."""
import base64
from typing import Optional

import pyarrow as pa


def to_table(encoded: Optional[str]) -> Optional[pa.Table]:
    """Decodes what `JSONStore.extract` returns (Base64 of an Arrow IPC stream).

    Returns None for None, which `extract` returns for an empty bitmap.
    """
    if encoded is None:
        return None
    return pa.ipc.open_stream(base64.b64decode(encoded, validate=True)).read_all()
