"""quillmark: a JSON record server with projections, bitmap queries and Arrow extraction.

This package re-exports the extension module `_quillmark_rec_server_extension` and adds
what users of Arrow- and ZeroMQ-based tools reach for: an ingestion `Client`,
`to_table` for extraction results, `running` to scope the ingestion service, and
`load_file` to store a JSON-lines file.

Importing the package makes the module quiet, as a library should be: only warnings and
errors are logged, and full scans do not list their matches on standard output.
`set_log_level` and `set_scan_listing` change that.
"""
from _quillmark_rec_server_extension import *  # noqa: F401,F403
import _quillmark_rec_server_extension as extension  # noqa: F401

from .client import (BadDataError, BusyError, Client, IngestionError, MessageCountError, NoDataError,
                     ReplyTimeout)
from .tables import to_table
from .service import running
from .loading import LoadError, load_file
from .query import QueryClient, QueryError
from .server import RecordServer

extension.set_log_level("warning")
extension.set_scan_listing(False)

__all__ = [name for name in dir(extension) if not name.startswith("_")] + [
    "BadDataError", "BusyError", "Client", "IngestionError", "MessageCountError", "NoDataError",
    "ReplyTimeout", "extension", "running", "to_table",
    "LoadError", "QueryClient", "QueryError", "RecordServer", "load_file",
]
