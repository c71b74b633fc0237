// Registration helpers, one per group of Python-visible names. module.cc calls them in
// the order the module's namespace must be filled.
#pragma once

#include <pybind11/pybind11.h>

namespace quillmark {
namespace module {

void RegisterDynamicScan(pybind11::module_& module);
void RegisterModuleFunctions(pybind11::module_& module);
void RegisterExtractorType(pybind11::module_& module);
void RegisterExtractor(pybind11::module_& module);
void RegisterBitmap(pybind11::module_& module);
void RegisterStatusAndScanOperation(pybind11::module_& module);
void RegisterJSONStore(pybind11::module_& module);

}  // namespace module
}  // namespace quillmark
