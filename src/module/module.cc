// Entry point of the extension module: registers every class, enumeration and
// function Python sees, in a fixed order.
#include <pybind11/pybind11.h>
#include <spdlog/spdlog.h>

#include "module/bindings.h"

namespace py = pybind11;

// PYBIND11_MODULE refuses an interpreter other than the 3.10 it was compiled for
// ("Python version mismatch: ...") and turns failures of the body into ImportError.
PYBIND11_MODULE(_quillmark_rec_server_extension, module) {
  spdlog::set_level(spdlog::level::debug);
  quillmark::module::RegisterExceptionMessages();
  quillmark::module::RegisterDynamicScan(module);
  quillmark::module::RegisterModuleFunctions(module);
  quillmark::module::RegisterExtractorType(module);
  quillmark::module::RegisterExtractor(module);
  quillmark::module::RegisterBitmap(module);
  quillmark::module::RegisterStatusAndScanOperation(module);
  quillmark::module::RegisterArrowTable(module);
  quillmark::module::RegisterJSONStore(module);
  for (const char* name : {"DynamicScan", "Extractor", "Bitmap", "ArrowTable", "JSONStore"}) {
    quillmark::module::RefuseBareNew(module.attr(name));
  }
  quillmark::module::RefuseBareNew(module.attr("Bitmap").attr("Chunks"));
}
