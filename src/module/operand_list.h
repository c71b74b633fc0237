// OperandList: the operand list of a query, converted from Python.
//
// Each element is converted as the tagged union recorder::data::Operand is (integer,
// then float, then text; a bool arrives as the integer 1 or 0), with two refusals the
// plain union conversion lacks: None, which it would accept as the bool False, and an
// integer outside the signed 64-bit range, which it would round to a float that no
// stored integer can equal. Both raise TypeError, as any other unsupported element does.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <utility>
#include <vector>

#include "values/generic_value.h"

namespace quillmark {
namespace module {

struct OperandList {
  std::vector<recorder::data::Operand> values;
};

}  // namespace module
}  // namespace quillmark

namespace pybind11 {
namespace detail {

template <>
struct type_caster<quillmark::module::OperandList> {
  PYBIND11_TYPE_CASTER(quillmark::module::OperandList, const_name("list[int | float | str | bool]"));

  bool load(handle source, bool convert) {
    if (!isinstance<sequence>(source) || isinstance<str>(source) || isinstance<bytes>(source)) return false;
    auto elements = reinterpret_borrow<sequence>(source);
    value.values.clear();
    value.values.reserve(elements.size());
    for (const auto& element : elements) {
      if (element.is_none() || (PyLong_Check(element.ptr()) && !FitsInt64(element))) return false;
      make_caster<recorder::data::Operand> operand;
      if (!operand.load(element, convert)) return false;
      value.values.push_back(cast_op<recorder::data::Operand&&>(std::move(operand)));
    }
    return true;
  }

 private:
  static bool FitsInt64(handle integer) {
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(integer.ptr(), &overflow);
    return overflow == 0;
  }
};

}  // namespace detail
}  // namespace pybind11
