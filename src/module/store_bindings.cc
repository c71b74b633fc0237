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

}  // namespace

void RegisterJSONStore(py::module_& module) {
  py::class_<JSONStore>(module, "JSONStore")
      .def(py::init<uint64_t, const std::string&, uint32_t>())
      .def_property_readonly("end_address", &JSONStore::EndAddress)
      // snapshot, recover
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
      .def("projection", &JSONStore::Projection, py::call_guard<py::gil_scoped_release>())
      // Kept for callers of the original interface: answers 0 and uses neither text.
      .def("query", [](JSONStore&, const std::string&, const std::string&) -> size_t { return 0; })
      .def("is_running", &JSONStore::IsRunning)
      .def("lock_data_ingestion", &JSONStore::LockDataIngestion)
      .def("unlock_data_ingestion", &JSONStore::UnlockDataIngestion)
      .def("is_locked", &JSONStore::IsLocked)
      .def("get_all_projections", &JSONStore::GetAllProjections)
      .def("projection_exits", &JSONStore::ProjectionExists)
      .def("create_new_projection", &JSONStore::Projection, py::call_guard<py::gil_scoped_release>())
      .def("delete_all_projections", &JSONStore::DeleteAllProjections,
           py::call_guard<py::gil_scoped_release>())
      .def("delete_projection", &JSONStore::DeleteProjection, py::call_guard<py::gil_scoped_release>())
      .def("scan",
           [](JSONStore& store, const std::string& name, recorder::operations::ScanOperation operation,
              std::vector<recorder::data::Operand> operands, std::optional<uint64_t> start,
              std::optional<uint64_t> end) {
             return store.Scan(name, operation, std::move(operands), start, end);
           })
      .def("extract",
           [](JSONStore& store, const recorder::data::Extractor& extractor,
              const storage::Bitmap& records) -> std::optional<std::string> {
             return store.Extract(extractor, records);
           })
      // Beyond the members above: the listening interface of the next `run` ("*" by
      // default), so that a store can serve loopback only.
      .def("set_listen_address", &JSONStore::SetListenAddress);
}

}  // namespace module
}  // namespace quillmark
