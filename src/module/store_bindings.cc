// Python registration of `JSONStore`. Members are registered in a fixed order; the
// places of members added with other features are marked where they go.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "module/arrow_table.h"
#include "module/bindings.h"
#include "module/by_reference.h"
#include "module/operand_list.h"
#include "server/json_store.h"

namespace py = pybind11;

namespace quillmark {
namespace module {

namespace {

using server::JSONStore;

// Lets other Python threads run while the calling thread sleeps for `duration`.
void PauseWithoutInterpreterLock(std::chrono::nanoseconds duration) {
  py::gil_scoped_release release;
  std::this_thread::sleep_until(std::chrono::steady_clock::now() + duration);
}

// A checkpoint token as a `uuid.UUID`, or the int 0 when there is none.
py::object TokenObject(const py::object& uuid_class, const std::optional<psfstore::core::Guid>& token) {
  if (!token) return py::int_(0);
  return uuid_class(token->ToString());
}

// {"index": {"status", "token"}, "log": {"token", "status", "serial", "offset"}}, keys
// in this order; "offset" carries the version the log checkpoint reported.
py::dict SnapshotToDict(const JSONStore::SnapshotOutcome& outcome) {
  // Imported only when a token must be made, so a snapshot of an empty store never
  // depends on it.
  py::object uuid_class = py::none();
  if (outcome.index.token || outcome.log.token) uuid_class = py::module_::import("uuid").attr("UUID");
  py::dict index;
  index["status"] = py::cast(outcome.index.status.code());
  index["token"] = TokenObject(uuid_class, outcome.index.token);
  py::dict log;
  log["token"] = TokenObject(uuid_class, outcome.log.token);
  log["status"] = py::cast(outcome.log.status.code());
  log["serial"] = py::int_(outcome.serial_number);
  log["offset"] = py::int_(outcome.version);
  py::dict result;
  result["index"] = index;
  result["log"] = log;
  return result;
}

// Docstrings. Arguments are positional only (the binding names none), so each is
// described by its place.
constexpr const char* kClassDoc = R"(A persistent store of JSON records over one directory.

JSONStore(log_size, path, port): records arrive over ZeroMQ (run) or directly (save,
load), are indexed by projections, queried into Bitmaps (scan) and extracted into Arrow
tables (extract_arrow, extract). The store can be checkpointed (snapshot) and rebuilt in
a fresh process (recover). Every argument of every member is positional.)";

constexpr const char* kInitDoc = R"(Opens a store over the directory `path`.

Arguments:
  log_size (int): bytes of log kept in memory; at least 192 MiB.
  path (str): the store's directory, created if missing (its parent must exist). The store
    holds it exclusively while it lives.
  port (int): TCP port of the ingestion service started by run.

Raises ValueError for a log size the engine refuses, a port above 65535 or a path with a
NUL character; RuntimeError when the directory cannot be created or another live store
holds it ("store directory is in use"); MemoryError for a log larger than the memory.
Starts no thread. Releasing the object stops the service and closes the store.)";

constexpr const char* kEndAddressDoc =
    "The log address just past the last record (int). 64 for an empty store; grows with every record.";

constexpr const char* kSnapshotDoc = R"(Checkpoints the hash index and then the log, while ingestion goes on.

Returns {"index": {"status", "token"}, "log": {"token", "status", "serial", "offset"}}: the
statuses are Status members, the tokens uuid.UUID objects to hand to recover (0 when the
half did not run: nothing ingested, status NotFound, or it could not start, Aborted).
Raises RuntimeError "Can acquire only in REST phase!" while another checkpoint or a
projection change runs. Holds the interpreter lock.)";

constexpr const char* kRecoverDoc = R"(Rebuilds this fresh store from a snapshot and starts the ingestion service.

recover(index_token, log_token, workers)

Arguments:
  index_token, log_token: the tokens snapshot returned (uuid.UUID or its text).
  workers (int or None): write threads to start; None starts one per recovered session.

Returns (recovered version, workers started). Raises ValueError for a token that is not
UUID text; RuntimeError when the service runs, when the store already holds records or
projections, or "Unable to recover. Status is N" when the checkpoint cannot be read (the
store then stays fresh and stopped). Releases the interpreter lock only for a closing
1 s pause.)";

constexpr const char* kRunDoc = R"(Starts the ingestion service with `workers` write threads (positional int, at most 64).

Listens on tcp://<listen address>:<port>; each request is two frames [payload, tag] and
gets one reply ("OK", "ERR_BAD_DATA", ...). Raises RuntimeError "The server is already
running", ValueError for more than 64 workers, RuntimeError when the port cannot be
bound; on failure nothing runs. Releases the interpreter lock only for a closing 1 s
pause while the threads settle.)";

constexpr const char* kStopDoc =
    "Stops the ingestion service and joins its threads; nothing when it does not run. Releases the interpreter "
    "lock.";

constexpr const char* kStatsDoc =
    "Returns (bytes ingested, records ingested) over the service, save and load, and logs them at info level.";

constexpr const char* kSaveDoc = R"(Inserts the JSON documents of `data` as one batch; returns the number of records.

data (str, bytes or bytearray, positional): documents separated by white space.

All or nothing: a refused batch inserts nothing and leaves the counters unchanged.
Returns 0, inserting nothing, while ingestion is locked (lock_data_ingestion). Raises
ValueError for malformed JSON ("malformed JSON at byte N: ...") or a record the engine
refuses ("record at byte N ..."), RuntimeError for a projected value that is not a scalar
and "Can acquire only in REST phase!" while a checkpoint or projection change runs. Logs
each call at info level and then pauses 100 ms with the interpreter lock released; use
load to insert many batches.)";

constexpr const char* kLoadDoc = R"(Inserts the JSON documents of `data` exactly as save does, without the pause and the log line.

data (str, bytes or bytearray, positional): documents separated by white space.

Returns the number of records inserted; 0, inserting nothing, while ingestion is locked.
Same all-or-nothing refusals, errors and counters as save. Holds the interpreter lock.
quillmark.load_file loads a whole file with it.)";

constexpr const char* kProjectionDoc = R"(Indexes the field `name` (a JSON Pointer such as "/a/b", positional) of every record inserted from now on.

Returns the log address from which records are indexed. A name already projected
changes nothing and returns its address. Records inserted before are found only by
full scans. Raises ValueError for the empty name or one no record can hold,
RuntimeError while a checkpoint or another change runs or when the projection table is
full. Releases the interpreter lock for the whole call.)";

constexpr const char* kQueryDoc = "Kept for callers of an earlier interface: returns 0 and uses neither text.";
constexpr const char* kIsRunningDoc = "True while the ingestion service runs.";
constexpr const char* kLockDoc =
    "Refuses direct inserts: save and load then return 0 and insert nothing (the service is not affected).";
constexpr const char* kUnlockDoc = "Accepts inserts again after lock_data_ingestion.";
constexpr const char* kIsLockedDoc = "True while ingestion is locked.";
constexpr const char* kGetAllProjectionsDoc = "The projected field names, in byte order.";
constexpr const char* kProjectionExistsDoc = "True when the field `name` (positional str) is projected.";
constexpr const char* kCreateNewProjectionDoc = "The same as projection(name).";
constexpr const char* kDeleteAllProjectionsDoc =
    "Stops indexing every projected field; later queries on them scan. Releases the interpreter lock.";
constexpr const char* kDeleteProjectionDoc =
    "Stops indexing the field `name` (positional str; nothing when it is not projected). Releases the interpreter lock.";

constexpr const char* kScanDoc = R"(Returns the addresses of the records whose field satisfies a comparison, as a Bitmap.

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
interpreter lock.)";

constexpr const char* kExtractDoc = R"(Extracts the records of a Bitmap as an Arrow table in Base64 text.

extract(extractor, records), positional.

Arguments:
  extractor (Extractor): the columns, an Extractor.record.
  records (Bitmap): record addresses, as scan returns them.

Returns the Base64 text of an Arrow IPC stream with one row per address in ascending
order (quillmark.to_table decodes it), or None for an empty bitmap. extract_arrow gives
the same table without encoding. Raises ValueError when the extractor is not a record
extractor, RuntimeError naming the address when no record starts there, "The field does
not contain a scalar type" for an object, array or null value, and "Can acquire only in
REST phase!" while a checkpoint or change runs. Holds the interpreter lock.)";

constexpr const char* kExtractArrowDoc = R"(Extracts the records of a Bitmap as an ArrowTable, without serialisation.

extract_arrow(extractor, records), positional, as for extract.

Returns an ArrowTable, read through the Arrow PyCapsule stream protocol: pyarrow.table(t)
or duckdb.from_arrow(t) take its columns without a copy. Its table equals
quillmark.to_table(extract(extractor, records)); an empty bitmap gives a table with no
rows and the columns' types (a Raw column, typed by its values, is then of the null
type). Raises as extract does. Holds the interpreter lock.)";

constexpr const char* kSetListenAddressDoc = R"(Sets the interface that the next run listens on (positional str).

"*" (every interface, the default) or an address such as "127.0.0.1". Raises ValueError
for a text with a NUL character.)";

}  // namespace

void RegisterJSONStore(py::module_& module) {
  py::class_<JSONStore>(module, "JSONStore", kClassDoc)
      .def(py::init<uint64_t, const std::string&, uint32_t>(), kInitDoc)
      .def_property_readonly("end_address", ByReference(&JSONStore::EndAddress), kEndAddressDoc)
      .def(
          "snapshot", [](JSONStore& store) -> py::object { return SnapshotToDict(store.Snapshot()); }, kSnapshotDoc)
      .def("recover",
           [](JSONStore& store, const py::object& index_token, const py::object& log_token,
              std::optional<uint64_t> workers) -> py::object {
             // Either token may be a uuid.UUID, its text or anything whose str() is UUID text.
             std::string index_text = py::str(index_token);
             std::string log_text = py::str(log_token);
             auto [version, started] = store.Recover(index_text, log_text, workers, [] {
               PauseWithoutInterpreterLock(std::chrono::seconds{1});
             });
             return py::make_tuple(version, started);
           },
           kRecoverDoc)
      .def("run",
           [](JSONStore& store, uint64_t workers) {
             store.Run(workers, [] { PauseWithoutInterpreterLock(std::chrono::seconds{1}); });
           },
           kRunDoc)
      .def("stop",
           [](JSONStore& store) {
             if (!store.IsRunning()) return;
             py::gil_scoped_release release;
             store.Stop();
           },
           kStopDoc)
      .def(
          "read_statistics",
          [](JSONStore& store) -> py::dict {
            auto statistics = store.engine().GetReadStatistics();
            py::dict result;
            result["device_reads"] = statistics.device_reads;
            result["device_read_bytes"] = statistics.device_read_bytes;
            result["cache_hits"] = statistics.cache_hits;
            result["cache_misses"] = statistics.cache_misses;
            return result;
          },
          "What reading records below the log's head has cost since the store started, as a dict:\n"
          "device_reads and device_read_bytes (reads issued to the log file), cache_hits and\n"
          "cache_misses (lookups of the read cache of blocks read before). Counters only grow.")
      .def("stats",
           [](const JSONStore& store) -> py::object {
             auto [bytes, records] = store.Stats();
             return py::make_tuple(bytes, records);
           },
           kStatsDoc)
      .def("save",
           // A view, as for load: the batch is read in place, or copied once into the insert's padded buffer.
           [](JSONStore& store, std::string_view data) -> uint64_t {
             return store.Save(data, [] { PauseWithoutInterpreterLock(std::chrono::milliseconds{100}); });
           },
           kSaveDoc)
      .def("projection", ByReference(&JSONStore::Projection), py::call_guard<py::gil_scoped_release>(), kProjectionDoc)
      // Kept for callers of the original interface: answers 0 and uses neither text.
      .def(
          "query", [](JSONStore&, const std::string&, const std::string&) -> size_t { return 0; }, kQueryDoc)
      .def("is_running", ByReference(&JSONStore::IsRunning), kIsRunningDoc)
      .def("lock_data_ingestion", ByReference(&JSONStore::LockDataIngestion), kLockDoc)
      .def("unlock_data_ingestion", ByReference(&JSONStore::UnlockDataIngestion), kUnlockDoc)
      .def("is_locked", ByReference(&JSONStore::IsLocked), kIsLockedDoc)
      .def("get_all_projections", ByReference(&JSONStore::GetAllProjections), kGetAllProjectionsDoc)
      .def("projection_exits", ByReference(&JSONStore::ProjectionExists), kProjectionExistsDoc)
      .def("create_new_projection", ByReference(&JSONStore::Projection), py::call_guard<py::gil_scoped_release>(),
           kCreateNewProjectionDoc)
      .def("delete_all_projections", ByReference(&JSONStore::DeleteAllProjections),
           py::call_guard<py::gil_scoped_release>(), kDeleteAllProjectionsDoc)
      .def("delete_projection", ByReference(&JSONStore::DeleteProjection), py::call_guard<py::gil_scoped_release>(),
           kDeleteProjectionDoc)
      .def("scan",
           [](JSONStore& store, const std::string& name, recorder::operations::ScanOperation operation,
              OperandList operands, std::optional<uint64_t> start, std::optional<uint64_t> end) {
             return store.Scan(name, operation, std::move(operands.values), start, end,
                               ScanListingEnabled() ? stdout : nullptr);
           },
           kScanDoc)
      .def("extract",
           [](JSONStore& store, const recorder::data::Extractor& extractor,
              const storage::Bitmap& records) -> std::optional<std::string> {
             return store.Extract(extractor, records);
           },
           kExtractDoc)
      .def("extract_arrow",
           [](JSONStore& store, const recorder::data::Extractor& extractor, const storage::Bitmap& records) {
             return ArrowTable(store.ExtractTable(extractor, records));
           },
           kExtractArrowDoc)
      .def(
          "load", [](JSONStore& store, std::string_view data) -> uint64_t { return store.Load(data); }, kLoadDoc)
      // Beyond the members above: the listening interface of the next `run` ("*" by
      // default), so that a store can serve loopback only.
      .def("set_listen_address", ByReference(&JSONStore::SetListenAddress), kSetListenAddressDoc)
      .def_property_readonly("port", ByReference(&JSONStore::ListeningPort),
                             "The ingestion port: the one given, or the one the system chose for port 0 once "
                             "the service has started (0 before).")
      .def("set_max_message_size", ByReference(&JSONStore::SetMaxMessageSize), py::arg("bytes"),
           "From the next run or recover, requests larger than `bytes` are dropped before they are read "
           "(the writer's connection is closed); -1 takes any size.")
      .def("enable_curve", ByReference(&JSONStore::EnableCurve), py::arg("server_secret_key"),
           py::arg("admitted_client_keys"),
           "From the next run or recover, the ingestion endpoint requires CURVE with the server's secret key "
           "and admits only the clients whose public keys are listed (Z85 text, 40 characters each); "
           "refusals are logged. Called again, it replaces the keys.");
}

}  // namespace module
}  // namespace quillmark
