// `DynamicScan`: an abstract pair of hooks that Python code subclasses. `check` decides
// about one item named by a text; `touch` is told about an item that passed.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

namespace quillmark {
namespace module {

class DynamicScan {
 public:
  virtual ~DynamicScan() = default;
  virtual bool check(const std::string& text) = 0;
  virtual void touch(const std::string& text) = 0;
};

// Forwards the two virtual calls to the Python subclass's overrides. Each call takes
// the interpreter lock itself, so it may be entered from any thread.
class PyDynamicScan : public DynamicScan {
 public:
  using DynamicScan::DynamicScan;
  bool check(const std::string& text) override { PYBIND11_OVERRIDE_PURE(bool, DynamicScan, check, text); }
  void touch(const std::string& text) override { PYBIND11_OVERRIDE_PURE(void, DynamicScan, touch, text); }
};

}  // namespace module
}  // namespace quillmark
