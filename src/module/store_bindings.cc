// Python registration of `JSONStore`. Members are registered in a fixed order; the
// places of members added with other features are marked where they go.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

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
  index["status"] = py::cast(outcome.index.status);
  index["token"] = TokenObject(uuid_class, outcome.index.token);
  py::dict log;
  log["token"] = TokenObject(uuid_class, outcome.log.token);
  log["status"] = py::cast(outcome.log.status);
  log["serial"] = py::int_(outcome.serial_number);
  log["offset"] = py::int_(outcome.version);
  py::dict result;
  result["index"] = index;
  result["log"] = log;
  return result;
}

}  // namespace

void RegisterJSONStore(py::module_& module) {
  py::class_<JSONStore>(module, "JSONStore")
      .def(py::init<uint64_t, const std::string&, uint32_t>())
      .def_property_readonly("end_address", ByReference(&JSONStore::EndAddress))
      .def("snapshot", [](JSONStore& store) -> py::object { return SnapshotToDict(store.Snapshot()); })
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
           })
      .def("run",
           [](JSONStore& store, uint64_t workers) {
             store.Run(workers, [] { PauseWithoutInterpreterLock(std::chrono::seconds{1}); });
           })
      .def("stop",
           [](JSONStore& store) {
             if (!store.IsRunning()) return;
             py::gil_scoped_release release;
             store.Stop();
           })
      .def("stats",
           [](const JSONStore& store) -> py::object {
             auto [bytes, records] = store.Stats();
             return py::make_tuple(bytes, records);
           })
      .def("save",
           [](JSONStore& store, const std::string& data) -> uint64_t {
             return store.Save(data, [] { PauseWithoutInterpreterLock(std::chrono::milliseconds{100}); });
           })
      .def("projection", ByReference(&JSONStore::Projection), py::call_guard<py::gil_scoped_release>())
      // Kept for callers of the original interface: answers 0 and uses neither text.
      .def("query", [](JSONStore&, const std::string&, const std::string&) -> size_t { return 0; })
      .def("is_running", ByReference(&JSONStore::IsRunning))
      .def("lock_data_ingestion", ByReference(&JSONStore::LockDataIngestion))
      .def("unlock_data_ingestion", ByReference(&JSONStore::UnlockDataIngestion))
      .def("is_locked", ByReference(&JSONStore::IsLocked))
      .def("get_all_projections", ByReference(&JSONStore::GetAllProjections))
      .def("projection_exits", ByReference(&JSONStore::ProjectionExists))
      .def("create_new_projection", ByReference(&JSONStore::Projection), py::call_guard<py::gil_scoped_release>())
      .def("delete_all_projections", ByReference(&JSONStore::DeleteAllProjections),
           py::call_guard<py::gil_scoped_release>())
      .def("delete_projection", ByReference(&JSONStore::DeleteProjection), py::call_guard<py::gil_scoped_release>())
      .def("scan",
           [](JSONStore& store, const std::string& name, recorder::operations::ScanOperation operation,
              OperandList operands, std::optional<uint64_t> start, std::optional<uint64_t> end) {
             return store.Scan(name, operation, std::move(operands.values), start, end,
                               store.ScanListing() ? stdout : nullptr);
           })
      .def("extract",
           [](JSONStore& store, const recorder::data::Extractor& extractor,
              const storage::Bitmap& records) -> std::optional<std::string> {
             return store.Extract(extractor, records);
           })
      // Beyond the members above: the listening interface of the next `run` ("*" by
      // default), so that a store can serve loopback only.
      .def("set_listen_address", ByReference(&JSONStore::SetListenAddress))
      .def_property_readonly("port", ByReference(&JSONStore::ListeningPort),
                             "The ingestion port: the one given, or the one the system chose for port 0 once "
                             "the service has started (0 before).")
      .def("set_scan_listing", ByReference(&JSONStore::SetScanListing), py::arg("on"),
           "Whether scans that walk the log list their matches on standard output (on by default).")
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
