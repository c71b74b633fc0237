from __future__ import annotations
import numpy
import typing
import typing_extensions
__all__: list[str] = ['Aborted', 'BTW', 'Bitmap', 'Bool', 'Corruption', 'DEF', 'Date', 'Double', 'Duration', 'DynamicScan', 'EQ', 'Extractor', 'ExtractorType', 'GE', 'GT', 'IN', 'IOError', 'Int64', 'JSONStore', 'LE', 'LT', 'NE', 'NI', 'NotFound', 'Ok', 'OutOfMemory', 'Pending', 'Raw', 'Record', 'ScanOperation', 'Status', 'String', 'Time', 'Timestamp', 'generate_test_arrow_as_b64_string', 'simdjson_active_runtime', 'simdjson_threaded', 'simdjson_version', 'try_me', 'zmq_version']
class DynamicScan:
    @classmethod
    def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
        ...
    def __init__(self) -> None:
        ...
    def check(self, arg0: str) -> bool:
        ...
    def touch(self, arg0: str) -> None:
        ...
class ExtractorType:
    """
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
    Describes one output column of an extraction; build it with the static factories and combine columns with Extractor.record.
    """
    @staticmethod
    def Bool(arg0: str) -> Extractor:
        """
        Boolean column.
        """
    @staticmethod
    def Date(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Integer column of days (d) or milliseconds (ms) since 1970-01-01.
        """
    @staticmethod
    def Duration(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Integer column of units (s, ms, us, ns).
        """
    @staticmethod
    def Float(arg0: str, arg1: int, arg2: float | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Floating-point column of width 32 or 64 bits.
        """
    @staticmethod
    def Int(arg0: str, arg1: bool, arg2: int, arg3: int | None, arg4: str | None, arg5: str | None) -> Extractor:
        """
        Integer column of width 8, 16, 32 or 64 bits; values that do not fit take the default or null.
        """
    @staticmethod
    def Raw(arg0: str) -> Extractor:
        """
        Column typed by the field's values (bool, int64, double or text).
        """
    @staticmethod
    def String(arg0: str, arg1: str | None) -> Extractor:
        """
        Text column; numbers and booleans are written as text.
        """
    @staticmethod
    def Time(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None) -> Extractor:
        """
        Integer column of units (s, ms, us, ns) since midnight.
        """
    @staticmethod
    def Timestamp(arg0: str, arg1: str, arg2: str | None, arg3: str | None, arg4: str | None, arg5: str | None) -> Extractor:
        """
        Integer column of units (s, ms, us, ns) since 1970-01-01T00:00:00 UTC.
        """
    @staticmethod
    def record(arg0: list[tuple[str, Extractor]]) -> Extractor:
        """
        The columns of one table: a list of (column name, extractor) pairs.
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
    Compressed set of unsigned 64-bit integers (record addresses).
    """
    class Chunks:
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
        ...
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
        ...
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
        ...
    def inplace_intersect(self, other: Bitmap) -> Bitmap:
        ...
    def inplace_symmetric_difference(self, other: Bitmap) -> Bitmap:
        ...
    def inplace_union(self, other: Bitmap) -> Bitmap:
        ...
    def intersect(self, other: Bitmap) -> Bitmap:
        ...
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
        ...
    def union(self, other: Bitmap) -> Bitmap:
        ...
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
class JSONStore:
    @classmethod
    def __new__(cls: typing.Any, *args, **kwargs) -> typing.Any:
        ...
    def __init__(self, arg0: int, arg1: str, arg2: int) -> None:
        ...
    def create_new_projection(self, arg0: str) -> int:
        ...
    def delete_all_projections(self) -> None:
        ...
    def delete_projection(self, arg0: str) -> None:
        ...
    def enable_curve(self, server_secret_key: str, admitted_client_keys: list[str]) -> None:
        """
        From the next run or recover, the ingestion endpoint requires CURVE with the server's secret key and admits only the clients whose public keys are listed (Z85 text, 40 characters each); refusals are logged. Called again, it replaces the keys.
        """
    def extract(self, arg0: Extractor, arg1: Bitmap) -> str | None:
        ...
    def get_all_projections(self) -> list[str]:
        ...
    def is_locked(self) -> bool:
        ...
    def is_running(self) -> bool:
        ...
    def lock_data_ingestion(self) -> None:
        ...
    def projection(self, arg0: str) -> int:
        ...
    def projection_exits(self, arg0: str) -> bool:
        ...
    def query(self, arg0: str, arg1: str) -> int:
        ...
    def recover(self, arg0: typing.Any, arg1: typing.Any, arg2: int | None) -> typing.Any:
        ...
    def run(self, arg0: int) -> None:
        ...
    def save(self, arg0: str) -> int:
        ...
    def scan(self, arg0: str, arg1: ScanOperation, arg2: list[int | float | str | bool], arg3: int | None, arg4: int | None) -> Bitmap:
        ...
    def set_listen_address(self, arg0: str) -> None:
        ...
    def set_max_message_size(self, bytes: int) -> None:
        """
        From the next run or recover, requests larger than `bytes` are dropped before they are read (the writer's connection is closed); -1 takes any size.
        """
    def set_scan_listing(self, on: bool) -> None:
        """
        Whether scans that walk the log list their matches on standard output (on by default).
        """
    def snapshot(self) -> typing.Any:
        ...
    def stats(self) -> typing.Any:
        ...
    def stop(self) -> None:
        ...
    def unlock_data_ingestion(self) -> None:
        ...
    @property
    def end_address(self) -> int:
        ...
    @property
    def port(self) -> int:
        """
        The ingestion port: the one given, or the one the system chose for port 0 once the service has started (0 before).
        """
def generate_test_arrow_as_b64_string() -> str:
    ...
def simdjson_active_runtime() -> tuple[str, str]:
    ...
def simdjson_threaded() -> bool:
    ...
def simdjson_version() -> str:
    ...
def try_me(arg0: DynamicScan) -> None:
    ...
def zmq_version() -> tuple[int, int, int]:
    ...
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
