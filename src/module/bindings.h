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
void RegisterArrowTable(pybind11::module_& module);
void RegisterJSONStore(pybind11::module_& module);

// Whether full scans write their matches to standard output (set_scan_listing; on
// unless switched off).
bool ScanListingEnabled();

// Gives native exceptions whose message is not UTF-8 a readable Python message (see
// exception_messages.cc).
void RegisterExceptionMessages();

// Makes `cls.__new__(cls)` raise TypeError instead of returning an object whose native
// part was never constructed (see bare_new_guard.cc). Python subclasses are unaffected.
void RefuseBareNew(pybind11::handle cls);

}  // namespace module
}  // namespace quillmark
