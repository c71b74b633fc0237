from __future__ import annotations
import numpy
import typing
import typing_extensions
__all__: list[str] = ['Aborted', 'ArrowTable', 'BTW', 'Bitmap', 'Bool', 'Corruption', 'DEF', 'Date', 'Double', 'Duration', 'DynamicScan', 'EQ', 'Extractor', 'ExtractorType', 'GE', 'GT', 'IN', 'IOError', 'Int64', 'JSONStore', 'LE', 'LT', 'NE', 'NI', 'NotFound', 'Ok', 'OutOfMemory', 'Pending', 'Raw', 'Record', 'ScanOperation', 'Status', 'String', 'Time', 'Timestamp', 'generate_test_arrow_as_b64_string', 'set_log_level', 'set_scan_listing', 'simdjson_active_runtime', 'simdjson_threaded', 'simdjson_version', 'try_me', 'zmq_version']
class DynamicScan:
    """
    A pair of hooks for Python code to override in a subclass: check decides about an item named
    by a text, touch is told about an item that passed. Native code (try_me) calls the overrides.
    """
    @classmethod
    def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
        ...
    def __init__(self) -> None:
        """
        Creates the hooks; a subclass must call it from its own __init__.
        """
    def check(self, arg0: str) -> bool:
        """
        Override: returns whether the item named by `text` (positional str) passes. The base
        class has no implementation: calling it raises RuntimeError.
        """
    def touch(self, arg0: str) -> None:
        """
        Override: is told about the item named by `text` (positional str) that passed check. The
        base class has no implementation: calling it raises RuntimeError.
        """
class ExtractorType:
    """
    The kind of column an Extractor builds (its `type` property). Members are also module attributes.
    
    Members:
    
      Raw
    
      Bool
    
      String
    
      Int64
    
      Double
    
      Timestamp
    
      Date
    
      Time
    
      Duration
    
      Record
    """
    Bool: typing.ClassVar[ExtractorType]
    Date: typing.ClassVar[ExtractorType]
    Double: typing.ClassVar[ExtractorType]
    Duration: typing.ClassVar[ExtractorType]
    Int64: typing.ClassVar[ExtractorType]
    Raw: typing.ClassVar[ExtractorType]
    Record: typing.ClassVar[ExtractorType]
    String: typing.ClassVar[ExtractorType]
    Time: typing.ClassVar[ExtractorType]
    Timestamp: typing.ClassVar[ExtractorType]
    __members__: typing.ClassVar[dict[str, ExtractorType]]
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class Extractor:
    """
    Describes the output columns of an extraction. Build one column with a static factory
    (Raw, Bool, String, Int, Float, Timestamp, Time, Date, Duration) and the table with
    Extractor.record. All factory arguments are positional; `field` is a JSON Pointer
    such as "/a/b". A value that does not convert gives the column's default or a null.
    The factories raise RuntimeError for a refused width, resolution, default or locale.
    """
    @staticmethod
    def Bool(arg0: str) -> Extractor:
        """
        Bool(field): a boolean column. Numbers are true when not zero; texts that begin "true", "yes",
        "y", "True" or "Y" are true; a missing field is false.
        """
    @staticmethod
    def Date(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Date(field, resolution, default_text, aux_text, locale): an int64 column of days ("d") or
        milliseconds ("ms") since 1970-01-01. Texts are parsed as dates; default_text (str
        or None) replaces values that do not convert (otherwise null).
        """
    @staticmethod
    def Duration(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Duration(field, resolution, default_text, aux_text, locale): an int64 column of units ("s",
        "ms", "us", "ns"). Integers are taken as units, floats as seconds, texts parsed as
        ISO 8601 durations; default_text (str or None) replaces values that do not convert.
        """
    @staticmethod
    def Float(arg0: str, arg1: int, arg2: float | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Float(field, width, default_value, aux_text, locale): a float32 (width 32) or float64 (64) column.
        
        A value float32 cannot hold exactly, or NaN, gives default_value (float or None) or a null;
        texts are read as numbers in `locale`; aux_text is kept, not used. A missing field gives 0.0.
        """
    @staticmethod
    def Int(arg0: str, arg1: bool, arg2: int, arg3: int | None, arg4: str | None, arg5: str | None) -> Extractor:
        """
        Int(field, is_signed, width, default_value, aux_text, locale): an integer column.
        
        is_signed (bool) and width (8, 16, 32 or 64) give its type; default_value (int or None) replaces
        values that do not convert or fit (otherwise null); texts are read as numbers in `locale`
        (str or None); aux_text is kept, not used. A missing field gives 0.
        """
    @staticmethod
    def Raw(arg0: str) -> Extractor:
        """
        Raw(field): a column typed by the field's first classifiable value (bool, int64, double or
        text); later values are converted to that type.
        """
    @staticmethod
    def String(arg0: str, arg1: str | None) -> Extractor:
        """
        String(field, locale): a text column; numbers and booleans are written as text, a missing field
        as "null". locale (str or None) is kept for the number conversions of other kinds.
        """
    @staticmethod
    def Time(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Time(field, resolution, default_text, aux_text, locale): a column of units since midnight,
        int64 for "us" and "ns", int32 for "s" and "ms". Texts are parsed as times of day;
        default_text (str or None) replaces values that do not convert (otherwise null).
        """
    @staticmethod
    def Timestamp(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None, arg5: str | None) -> Extractor:
        """
        Timestamp(field, resolution, aux_text_2, default_text, aux_text, locale): an int64 column of
        units since 1970-01-01T00:00:00 UTC.
        
        resolution is "s", "ms", "us" or "ns"; integers are taken as units, floats as seconds,
        texts parsed as ISO 8601 timestamps; default_text (str or None) is the timestamp for values
        that do not convert (otherwise null). aux_text_2, aux_text and locale are kept, not used.
        """
    @staticmethod
    def record(arg0: list[tuple[str, Extractor]]) -> Extractor:
        """
        record(columns): the table of an extraction.
        
        columns (list of (str, Extractor) pairs): the column names and extractors, in table order.
        Raises RuntimeError for a nested record.
        """
    @classmethod
    def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
        ...
    @property
    def type(self) -> ExtractorType:
        """
        The kind of column, an ExtractorType.
        """
class Bitmap:
    """
    Compressed set of unsigned 64-bit integers, such as the record addresses scan returns.
    
    Bitmap() is empty; Bitmap(array) holds the values of a 1-D integer array. Supports
    len, in, iteration in ascending order, ==, the set operators | & - ^ and their
    in-place forms, rank and select (nth, lower_cardinality), and serialisation
    (write, read). Methods raise ValueError or IndexError for arguments out of range
    and hold the interpreter lock.
    """
    class Chunks:
        """
        Iterator over a Bitmap's members in ascending lists; iter(bitmap) flattens them.
        """
        @classmethod
        def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
            ...
        def __iter__(self) -> typing.Any:
            ...
        def __next__(self) -> list:
            ...
    __hash__: typing.ClassVar[None] = None
    @staticmethod
    def read(buffer: typing_extensions.Buffer, portable: bool = True) -> Bitmap:
        """
        Bitmap decoded from a bytes-like object written by write().
        """
    @classmethod
    def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
        ...
    def __and__(self, other: Bitmap) -> Bitmap:
        ...
    def __contains__(self, position: int) -> bool:
        ...
    def __eq__(self, other: Bitmap) -> bool:
        ...
    def __iand__(self, other: Bitmap) -> Bitmap:
        ...
    @typing.overload
    def __init__(self, indices: numpy.ndarray[numpy.uint64] | None = None) -> None:
        """
        Empty bitmap, or one holding every value of a 1-D uint64 array.
        """
    @typing.overload
    def __init__(self, indices: numpy.ndarray[numpy.int64]) -> None:
        """
        Bitmap of a 1-D array of non-negative signed integers.
        """
    def __ior__(self, other: Bitmap) -> Bitmap:
        ...
    def __isub__(self, other: Bitmap) -> Bitmap:
        ...
    def __iter__(self) -> typing.Any:
        """
        Members in ascending order, fetched lazily in chunks.
        """
    def __ixor__(self, other: Bitmap) -> Bitmap:
        ...
    def __len__(self) -> int:
        """
        Number of members.
        """
    def __or__(self, other: Bitmap) -> Bitmap:
        ...
    def __sub__(self, other: Bitmap) -> Bitmap:
        ...
    def __xor__(self, other: Bitmap) -> Bitmap:
        ...
    def all(self, startInc: int, endEx: int) -> bool:
        """
        Every value of [startInc, endEx) is a member.
        """
    def any(self, startInc: int, endEx: int) -> bool:
        """
        Some value of [startInc, endEx) is a member.
        """
    def bool_array(self, invert: bool = False, relative: bool = False) -> numpy.ndarray[bool]:
        """
        Membership mask up to the last member (from the first when relative).
        """
    def cardinality(self) -> int:
        """
        Number of members.
        """
    def contains(self, position: int) -> bool:
        """
        Membership of position.
        """
    def contract(self, position: int, by: int) -> None:
        """
        Removes [position, position + by) and moves the members above it down by `by`.
        """
    def copy(self) -> Bitmap:
        """
        Independent deep copy.
        """
    def difference(self, other: Bitmap) -> Bitmap:
        """
        New bitmap of the members not in other (also a - b).
        """
    def empty(self) -> bool:
        """
        True when there is no member.
        """
    def expand(self, position: int, by: int) -> None:
        """
        Moves the members >= position up by `by`.
        """
    def first(self) -> int | None:
        """
        Smallest member, None when empty.
        """
    def flip(self, position: int, endEx: int | None = None) -> None:
        """
        Toggles position, or every value of [position, endEx).
        """
    def in_memory_size(self) -> int:
        """
        Number of containers the buckets use once run-length optimised.
        """
    def index_array(self) -> numpy.ndarray[numpy.uint64]:
        """
        All members, ascending, as a uint64 array.
        """
    def inplace_difference(self, other: Bitmap) -> Bitmap:
        """
        Removes the members of other; returns self (also a -= b).
        """
    def inplace_intersect(self, other: Bitmap) -> Bitmap:
        """
        Keeps only the members also in other; returns self (also a &= b).
        """
    def inplace_symmetric_difference(self, other: Bitmap) -> Bitmap:
        """
        Keeps the members of exactly one; returns self (also a ^= b).
        """
    def inplace_union(self, other: Bitmap) -> Bitmap:
        """
        Adds the members of other; returns self (also a |= b).
        """
    def intersect(self, other: Bitmap) -> Bitmap:
        """
        New bitmap of the members of both (also a & b).
        """
    def last(self) -> int | None:
        """
        Largest member, None when empty.
        """
    def lower_cardinality(self, position: int) -> int:
        """
        Number of members below position.
        """
    def nth(self, ordinal: int) -> int:
        """
        Member of 0-based rank ordinal.
        """
    def persisted_size(self, portable: bool = True, optimize: bool = True, shrink: bool = True) -> int:
        """
        Bytes write() needs; optimize/shrink compact the buckets in place first.
        """
    def self_or_next(self, position: int) -> int | None:
        """
        Smallest member >= position, or None.
        """
    def self_or_previous(self, position: int) -> int | None:
        """
        Largest member <= position, or None.
        """
    def set(self, position: int, endEx: int | None = None) -> None:
        """
        Adds position, or every value of [position, endEx).
        """
    def slice(self, startInc: int, endInc: int) -> Bitmap:
        """
        New bitmap of the members in [startInc, endInc].
        """
    def strict_subset_of(self, other: Bitmap) -> bool:
        """
        Subset of other and not equal.
        """
    def subset_of(self, other: Bitmap) -> bool:
        """
        Every member is in other.
        """
    def symmetric_difference(self, other: Bitmap) -> Bitmap:
        """
        New bitmap of the members of exactly one (also a ^ b).
        """
    def union(self, other: Bitmap) -> Bitmap:
        """
        New bitmap of the members of either (also a | b).
        """
    def unset(self, position: int, endEx: int | None = None) -> None:
        """
        Removes position, or every value of [position, endEx).
        """
    def upper_cardinality(self, position: int) -> int:
        """
        Number of members above position.
        """
    def write(self, buffer: typing_extensions.Buffer, portable: bool = True) -> int:
        """
        Serialises into a writable bytes-like object; returns the bytes written.
        """
class Status:
    """
    Result code of the storage engine, as snapshot reports it. Members are also module attributes.
    
    Members:
    
      Ok
    
      Aborted
    
      Corruption
    
      IOError
    
      NotFound
    
      OutOfMemory
    
      Pending
    """
    Aborted: typing.ClassVar[Status]
    Corruption: typing.ClassVar[Status]
    IOError: typing.ClassVar[Status]
    NotFound: typing.ClassVar[Status]
    Ok: typing.ClassVar[Status]
    OutOfMemory: typing.ClassVar[Status]
    Pending: typing.ClassVar[Status]
    __members__: typing.ClassVar[dict[str, Status]]
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class ScanOperation:
    """
    The comparison of JSONStore.scan: EQ, NE, LT, LE, GT, GE against the first operand, IN and NI
    (in / not in) against all operands. DEF and BTW have no comparison: a scan with them raises IndexError.
    Members are also module attributes.
    
    Members:
    
      EQ
    
      NE
    
      LT
    
      LE
    
      GT
    
      GE
    
      IN
    
      NI
    
      DEF
    
      BTW
    """
    BTW: typing.ClassVar[ScanOperation]
    DEF: typing.ClassVar[ScanOperation]
    EQ: typing.ClassVar[ScanOperation]
    GE: typing.ClassVar[ScanOperation]
    GT: typing.ClassVar[ScanOperation]
    IN: typing.ClassVar[ScanOperation]
    LE: typing.ClassVar[ScanOperation]
    LT: typing.ClassVar[ScanOperation]
    NE: typing.ClassVar[ScanOperation]
    NI: typing.ClassVar[ScanOperation]
    __members__: typing.ClassVar[dict[str, ScanOperation]]
    def __eq__(self, other: typing.Any) -> bool:
        ...
    def __getstate__(self) -> int:
        ...
    def __hash__(self) -> int:
        ...
    def __index__(self) -> int:
        ...
    def __init__(self, value: int) -> None:
        ...
    def __int__(self) -> int:
        ...
    def __ne__(self, other: typing.Any) -> bool:
        ...
    def __repr__(self) -> str:
        ...
    def __setstate__(self, state: int) -> None:
        ...
    def __str__(self) -> str:
        ...
    @property
    def name(self) -> str:
        ...
    @property
    def value(self) -> int:
        ...
class ArrowTable:
    """
    An extracted table in Arrow memory, as JSONStore.extract_arrow returns it.
    
    It implements the Arrow PyCapsule stream protocol, so pyarrow.table(t), duckdb.from_arrow(t),
    or a DuckDB query naming it read its columns without a copy. It can be read any number
    of times and outlives the store.
    """
    @classmethod
    def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
        ...
    def __arrow_c_stream__(self, requested_schema: typing.Any = None) -> typing.Any:
        """
        Exports the table as an ArrowArrayStream in a PyCapsule named "arrow_array_stream".
        
        requested_schema is not applied: the stream always has the table's own schema,
        which the protocol allows. Raises RuntimeError when Arrow cannot export the table.
        """
    def __len__(self) -> int:
        ...
    @property
    def column_names(self) -> list[str]:
        """
        Names of the columns, in order.
        """
    @property
    def num_rows(self) -> int:
        """
        Number of rows.
        """
class JSONStore:
    """
    A persistent store of JSON records over one directory.
    
    JSONStore(log_size, path, port): records arrive over ZeroMQ (run) or directly (save,
    load), are indexed by projections, queried into Bitmaps (scan) and extracted into Arrow
    tables (extract_arrow, extract). The store can be checkpointed (snapshot) and rebuilt in
    a fresh process (recover). Every argument of every member is positional.
    """
    @classmethod
    def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
        ...
    def __init__(self, arg0: int, arg1: str, arg2: int) -> None:
        """
        Opens a store over the directory `path`.
        
        Arguments:
          log_size (int): bytes of log kept in memory; at least 192 MiB.
          path (str): the store's directory, created if missing (its parent must exist). The store
            holds it exclusively while it lives.
          port (int): TCP port of the ingestion service started by run.
        
        Raises ValueError for a log size the engine refuses, a port above 65535 or a path with a
        NUL character; RuntimeError when the directory cannot be created or another live store
        holds it ("store directory is in use"); MemoryError for a log larger than the memory.
        Starts no thread. Releasing the object stops the service and closes the store.
        """
    def create_new_projection(self, arg0: str) -> int:
        """
        The same as projection(name).
        """
    def delete_all_projections(self) -> None:
        """
        Stops indexing every projected field; later queries on them scan. Releases the interpreter lock.
        """
    def delete_projection(self, arg0: str) -> None:
        """
        Stops indexing the field `name` (positional str; nothing when it is not projected). Releases the interpreter lock.
        """
    def enable_curve(self, server_secret_key: str, admitted_client_keys: list[str]) -> None:
        """
        From the next run or recover, the ingestion endpoint requires CURVE with the server's secret key and admits only the clients whose public keys are listed (Z85 text, 40 characters each); refusals are logged. Called again, it replaces the keys.
        """
    def extract(self, arg0: Extractor, arg1: Bitmap) -> str | None:
        """
        Extracts the records of a Bitmap as an Arrow table in Base64 text.
        
        extract(extractor, records), positional.
        
        Arguments:
          extractor (Extractor): the columns, an Extractor.record.
          records (Bitmap): record addresses, as scan returns them.
        
        Returns the Base64 text of an Arrow IPC stream with one row per address in ascending
        order (quillmark.to_table decodes it), or None for an empty bitmap. extract_arrow gives
        the same table without encoding. Raises ValueError when the extractor is not a record
        extractor, RuntimeError naming the address when no record starts there, "The field does
        not contain a scalar type" for an object, array or null value, and "Can acquire only in
        REST phase!" while a checkpoint or change runs. Holds the interpreter lock.
        """
    def extract_arrow(self, arg0: Extractor, arg1: Bitmap) -> ArrowTable:
        """
        Extracts the records of a Bitmap as an ArrowTable, without serialisation.
        
        extract_arrow(extractor, records), positional, as for extract.
        
        Returns an ArrowTable, read through the Arrow PyCapsule stream protocol: pyarrow.table(t)
        or duckdb.from_arrow(t) take its columns without a copy. Its table equals
        quillmark.to_table(extract(extractor, records)); an empty bitmap gives a table with no
        rows and the columns' types (a Raw column, typed by its values, is then of the null
        type). Raises as extract does. Holds the interpreter lock.
        """
    def get_all_projections(self) -> list[str]:
        """
        The projected field names, in byte order.
        """
    def is_locked(self) -> bool:
        """
        True while ingestion is locked.
        """
    def is_running(self) -> bool:
        """
        True while the ingestion service runs.
        """
    def load(self, arg0: str) -> int:
        """
        Inserts the JSON documents of `data` exactly as save does, without the pause and the log line.
        
        data (str, bytes or bytearray, positional): documents separated by white space.
        
        Returns the number of records inserted; 0, inserting nothing, while ingestion is locked.
        Same all-or-nothing refusals, errors and counters as save. Holds the interpreter lock.
        quillmark.load_file loads a whole file with it.
        """
    def lock_data_ingestion(self) -> None:
        """
        Refuses direct inserts: save and load then return 0 and insert nothing (the service is not affected).
        """
    def projection(self, arg0: str) -> int:
        """
        Indexes the field `name` (a JSON Pointer such as "/a/b", positional) of every record inserted from now on.
        
        Returns the log address from which records are indexed. A name already projected
        changes nothing and returns its address. Records inserted before are found only by
        full scans. Raises ValueError for the empty name or one no record can hold,
        RuntimeError while a checkpoint or another change runs or when the projection table is
        full. Releases the interpreter lock for the whole call.
        """
    def projection_exits(self, arg0: str) -> bool:
        """
        True when the field `name` (positional str) is projected.
        """
    def query(self, arg0: str, arg1: str) -> int:
        """
        Kept for callers of an earlier interface: returns 0 and uses neither text.
        """
    def read_statistics(self) -> dict:
        """
        What reading records below the log's head has cost since the store started, as a dict:
        device_reads and device_read_bytes (reads issued to the log file), cache_hits and
        cache_misses (lookups of the read cache of blocks read before). Counters only grow.
        """
    def recover(self, arg0: typing.Any, arg1: typing.Any, arg2: int | None) -> typing.Any:
        """
        Rebuilds this fresh store from a snapshot and starts the ingestion service.
        
        recover(index_token, log_token, workers)
        
        Arguments:
          index_token, log_token: the tokens snapshot returned (uuid.UUID or its text).
          workers (int or None): write threads to start; None starts one per recovered session.
        
        Returns (recovered version, workers started). Raises ValueError for a token that is not
        UUID text; RuntimeError when the service runs, when the store already holds records or
        projections, or "Unable to recover. Status is N" when the checkpoint cannot be read (the
        store then stays fresh and stopped). Releases the interpreter lock only for a closing
        1 s pause.
        """
    def run(self, arg0: int) -> None:
        """
        Starts the ingestion service with `workers` write threads (positional int, at most 64).
        
        Listens on tcp://<listen address>:<port>; each request is two frames [payload, tag] and
        gets one reply ("OK", "ERR_BAD_DATA", ...). Raises RuntimeError "The server is already
        running", ValueError for more than 64 workers, RuntimeError when the port cannot be
        bound; on failure nothing runs. Releases the interpreter lock only for a closing 1 s
        pause while the threads settle.
        """
    def save(self, arg0: str) -> int:
        """
        Inserts the JSON documents of `data` as one batch; returns the number of records.
        
        data (str, bytes or bytearray, positional): documents separated by white space.
        
        All or nothing: a refused batch inserts nothing and leaves the counters unchanged.
        Returns 0, inserting nothing, while ingestion is locked (lock_data_ingestion). Raises
        ValueError for malformed JSON ("malformed JSON at byte N: ...") or a record the engine
        refuses ("record at byte N ..."), RuntimeError for a projected value that is not a scalar
        and "Can acquire only in REST phase!" while a checkpoint or projection change runs. Logs
        each call at info level and then pauses 100 ms with the interpreter lock released; use
        load to insert many batches.
        """
    def scan(self, arg0: str, arg1: ScanOperation, arg2: list[int | float | str | bool], arg3: int | None, arg4: int | None) -> Bitmap:
        """
        Returns the addresses of the records whose field satisfies a comparison, as a Bitmap.
        
        scan(name, operation, operands, start, end), all positional and all required.
        
        Arguments:
          name (str): the field, a JSON Pointer such as "/a".
          operation (ScanOperation): EQ, NE, LT, LE, GT, GE (against the first operand), IN or
            NI (any of the operands). DEF and BTW have no comparison.
          operands (list of int, float, str): the values compared with. True and False are
            the integers 1 and 0; an integer never equals a float field value.
          start, end (int or None): inclusive address bounds; None means 0 and the largest address.
        
        EQ on a projected name follows the projection's index and sees only records inserted
        since the projection was made; everything else scans the whole log and, unless
        set_scan_listing(False), writes each match's JSON text to standard output. Raises
        IndexError for DEF and BTW, ValueError for a missing operand or a name no record can
        hold, TypeError for an unsupported operand, RuntimeError "The field does not contain a
        scalar type" when a scanned record holds an object, array or null there, and
        "Can acquire only in REST phase!" while a checkpoint or change runs. Holds the
        interpreter lock.
        """
    def set_listen_address(self, arg0: str) -> None:
        """
        Sets the interface that the next run listens on (positional str).
        
        "*" (every interface, the default) or an address such as "127.0.0.1". Raises ValueError
        for a text with a NUL character.
        """
    def set_max_message_size(self, bytes: int) -> None:
        """
        From the next run or recover, requests larger than `bytes` are dropped before they are read (the writer's connection is closed); -1 takes any size.
        """
    def snapshot(self) -> typing.Any:
        """
        Checkpoints the hash index and then the log, while ingestion goes on.
        
        Returns {"index": {"status", "token"}, "log": {"token", "status", "serial", "offset"}}: the
        statuses are Status members, the tokens uuid.UUID objects to hand to recover (0 when the
        half did not run: nothing ingested, status NotFound, or it could not start, Aborted).
        Raises RuntimeError "Can acquire only in REST phase!" while another checkpoint or a
        projection change runs. Holds the interpreter lock.
        """
    def stats(self) -> typing.Any:
        """
        Returns (bytes ingested, records ingested) over the service, save and load, and logs them at info level.
        """
    def stop(self) -> None:
        """
        Stops the ingestion service and joins its threads; nothing when it does not run. Releases the interpreter lock.
        """
    def unlock_data_ingestion(self) -> None:
        """
        Accepts inserts again after lock_data_ingestion.
        """
    @property
    def end_address(self) -> int:
        """
        The log address just past the last record (int). 64 for an empty store; grows with every record.
        """
    @property
    def port(self) -> int:
        """
        The ingestion port: the one given, or the one the system chose for port 0 once the service has started (0 before).
        """
def generate_test_arrow_as_b64_string() -> str:
    """
    A fixed table (Day int8, Month int8, Year int16; five rows) as Base64 text of an Arrow IPC stream.
    
    quillmark.to_table decodes it. Raises RuntimeError when Arrow fails.
    """
def set_log_level(arg0: str) -> None:
    """
    Sets the lowest level of the messages the store logs (on standard output).
    
    level (str, positional): "trace", "debug", "info", "warning", "error", "critical" or "off".
    
    The module starts at "debug"; importing the quillmark package sets "warning". Applies to
    every store of the process at once, also to messages of running write threads. Raises
    ValueError for any other level.
    """
def set_scan_listing(arg0: bool) -> None:
    """
    Turns the listing of full-scan matches on standard output on or off.
    
    enabled (bool, positional): whether JSONStore.scan writes the JSON text of each match of a
    full scan (any scan but EQ on a projected field) to standard output, one per line. On when
    the module is imported; importing the quillmark package turns it off. Applies to every
    store of the process.
    """
def simdjson_active_runtime() -> tuple[str, str]:
    """
    The JSON parser's active implementation for this processor, as (name, description).
    """
def simdjson_threaded() -> bool:
    """
    True when the JSON parser (simdjson) is built for use from several threads.
    """
def simdjson_version() -> str:
    """
    The version of the JSON parser (simdjson) the module is built against, such as "3.0.1".
    """
def try_me(arg0: DynamicScan) -> None:
    """
    Calls check("hello") of a DynamicScan (positional) and, when it returns True, touch("world... Again!!").
    
    Shows a Python subclass's overrides called from native code. Raises TypeError for an object
    that is not a DynamicScan, RuntimeError when the subclass does not override check or touch.
    """
def zmq_version() -> tuple[int, int, int]:
    """
    The version of the ZeroMQ library in use, as (major, minor, patch).
    """
Aborted: Status
BTW: ScanOperation
Bool: ExtractorType
Corruption: Status
DEF: ScanOperation
Date: ExtractorType
Double: ExtractorType
Duration: ExtractorType
EQ: ScanOperation
GE: ScanOperation
GT: ScanOperation
IN: ScanOperation
IOError: Status
Int64: ExtractorType
LE: ScanOperation
LT: ScanOperation
NE: ScanOperation
NI: ScanOperation
NotFound: Status
Ok: Status
OutOfMemory: Status
Pending: Status
Raw: ExtractorType
Record: ExtractorType
String: ExtractorType
Time: ExtractorType
Timestamp: ExtractorType
