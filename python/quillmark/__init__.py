"""quillmark: a JSON record server with projections, bitmap queries and Arrow extraction.

This package re-exports the extension module `_quillmark_rec_server_extension` and adds
what users of Arrow- and ZeroMQ-based tools reach for: an ingestion `Client`,
`to_table` for extraction results, and `running` to scope the ingestion service.
"""
from _quillmark_rec_server_extension import *  # noqa: F401,F403
import _quillmark_rec_server_extension as extension  # noqa: F401

from .client import (BadDataError, BusyError, Client, IngestionError, MessageCountError, NoDataError,
                     ReplyTimeout)
from .tables import to_table
from .service import running
from .query import QueryClient, QueryError
from .server import RecordServer

__all__ = [name for name in dir(extension) if not name.startswith("_")] + [
    "BadDataError", "BusyError", "Client", "IngestionError", "MessageCountError", "NoDataError",
    "ReplyTimeout", "extension", "running", "to_table",
    "QueryClient", "QueryError", "RecordServer",
]
