// Python registration of `Bitmap`.
//
// Every call keeps the interpreter lock: a Bitmap is a plain Python-owned object that other
// Python threads may touch, so releasing the lock would let them race on it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include "base/platform.h"
#include "bitmap/bitmap.h"
#include "module/bindings.h"
#include "module/by_reference.h"

namespace py = pybind11;
using quillmark::storage::Bitmap;

namespace quillmark {
namespace module {
namespace {

// Lazy ascending iteration in chunks: each __next__ returns a list of the next members.
// Bitmap.__iter__ flattens these with itertools.chain, which keeps the per-member cost at
// the C level instead of one bound-method call per member. Chunks are fetched from a cursor
// value, never through pointers into the bitmap, so changing the bitmap while iterating is
// safe: later chunks see the change. Chunks start small and grow, so a short loop that
// stops early stays cheap.
class MemberChunks {
 public:
  // Throws py::cast_error unless owner is a Bitmap.
  explicit MemberChunks(py::object owner)
      : owner_(std::move(owner)), bitmap_(&owner_.cast<const Bitmap&>()) {}

  py::list Next() {
    size_t count = finished_ ? 0 : bitmap_->NextChunk(cursor_, buffer_.data(), chunk_size_);
    if (count == 0) {
      finished_ = true;
      throw py::stop_iteration();
    }
    chunk_size_ = std::min(chunk_size_ * 2, buffer_.size());
    uint64_t last = buffer_[count - 1];
    finished_ = last == std::numeric_limits<uint64_t>::max();
    cursor_ = last + 1;
    py::list members(count);
    for (size_t i = 0; i < count; ++i) {
      PyObject* member = PyLong_FromUnsignedLongLong(buffer_[i]);
      if (member == nullptr) throw py::error_already_set();
      PyList_SET_ITEM(members.ptr(), static_cast<py::ssize_t>(i), member);  // steals
    }
    return members;
  }

 private:
  py::object owner_;  // keeps the bitmap alive while the iterator exists
  const Bitmap* bitmap_;
  uint64_t cursor_ = 0;  // smallest value not fetched yet
  bool finished_ = false;
  size_t chunk_size_ = 64;
  std::array<uint64_t, 4096> buffer_;
};

// A contiguous byte view of a Python buffer.
struct ByteBuffer {
  py::buffer_info info;
  char* data() const { return static_cast<char*>(info.ptr); }
  size_t length() const { return static_cast<size_t>(info.size); }
};

ByteBuffer RequestBytes(const py::buffer& buffer, bool writable) {
  // A read-only object asked for a writable view raises BufferError here.
  ByteBuffer bytes{buffer.request(writable)};
  if (bytes.info.itemsize != 1) throw std::runtime_error("Item size should be 1");
  py::ssize_t expected_stride = 1;
  for (py::ssize_t dimension = bytes.info.ndim - 1; dimension >= 0; --dimension) {
    if (bytes.info.shape[dimension] > 1 && bytes.info.strides[dimension] != expected_stride) {
      throw std::invalid_argument("buffer must be contiguous");
    }
    expected_stride *= bytes.info.shape[dimension];
  }
  return bytes;
}

using IndexArray = py::array_t<uint64_t, py::array::c_style>;

Bitmap FromIndices(const std::optional<IndexArray>& indices) {
  if (!indices) return Bitmap();
  auto view = indices->unchecked<1>();  // std::domain_error unless one-dimensional
  return Bitmap(view.data(0), static_cast<size_t>(view.shape(0)));
}

// NumPy's default integer arrays are signed (np.arange, np.array of ints): accept them
// when every value is non-negative instead of letting a cast wrap -1 to 2^64 - 1.
using SignedIndexArray = py::array_t<int64_t, py::array::c_style>;

Bitmap FromSignedIndices(const SignedIndexArray& indices) {
  auto view = indices.unchecked<1>();  // std::domain_error unless one-dimensional
  const int64_t* values = view.data(0);
  const size_t count = static_cast<size_t>(view.shape(0));
  for (size_t i = 0; i < count; ++i) {
    if (values[i] < 0) {
      throw std::invalid_argument("Bitmap members must be non-negative, got " + std::to_string(values[i]));
    }
  }
  return Bitmap(reinterpret_cast<const uint64_t*>(values), count);
}

py::array_t<bool> BoolArray(const Bitmap& bitmap, bool invert, bool relative) {
  std::optional<uint64_t> first = bitmap.First();
  if (!first) return py::array_t<bool>(0);
  uint64_t base = relative ? *first : 0;
  uint64_t span = *bitmap.Last() - base;  // the array holds span + 1 entries
  if (span >= static_cast<uint64_t>(std::numeric_limits<py::ssize_t>::max())) {
    throw std::length_error("bitmap spans too many positions for a bool array");
  }
  // The mask is filled at once: one larger than the memory would get the process killed.
  psfstore::environment::CheckFitsPhysicalMemory(span + 1, "A bool array of this span");
  py::array_t<bool> mask(static_cast<py::ssize_t>(span + 1));
  bool* data = mask.mutable_data();
  std::memset(data, invert ? 1 : 0, span + 1);
  bitmap.MarkMembers(data, base, !invert);
  return mask;
}

py::array_t<uint64_t> IndexArrayOf(const Bitmap& bitmap) {
  const uint64_t count = bitmap.Cardinality();
  if (count > std::numeric_limits<uint64_t>::max() / sizeof(uint64_t)) {
    throw std::length_error("bitmap has too many members for an index array");
  }
  psfstore::environment::CheckFitsPhysicalMemory(count * sizeof(uint64_t), "An index array of this bitmap");
  py::array_t<uint64_t> indices(static_cast<py::ssize_t>(count));
  bitmap.CopyTo(indices.mutable_data());
  return indices;
}

}  // namespace

void RegisterBitmap(py::module_& module) {
  py::class_<Bitmap> bitmap(module, "Bitmap",
                            "Compressed set of unsigned 64-bit integers, such as the record addresses scan returns.\n\n"
                            "Bitmap() is empty; Bitmap(array) holds the values of a 1-D integer array. Supports\n"
                            "len, in, iteration in ascending order, ==, the set operators | & - ^ and their\n"
                            "in-place forms, rank and select (nth, lower_cardinality), and serialisation\n"
                            "(write, read). Methods raise ValueError or IndexError for arguments out of range\n"
                            "and hold the interpreter lock.");

  py::class_<MemberChunks>(bitmap, "Chunks",
                           "Iterator over a Bitmap's members in ascending lists; iter(bitmap) flattens them.")
      .def("__iter__",
           [](py::object self) {
             if (!py::isinstance<MemberChunks>(self)) throw py::type_error("Chunks.__iter__ needs a Chunks");
             return self;
           })
      .def("__next__", ByReference(&MemberChunks::Next));

  bitmap
      .def(py::init(&FromIndices),
           "Empty bitmap, or one holding every value of a 1-D uint64 array.",
           py::arg("indices") = py::none())
      .def(py::init(&FromSignedIndices), "Bitmap of a 1-D array of non-negative signed integers.",
           py::arg("indices"))
      .def(
          "copy", [](const Bitmap& self) { return Bitmap(self); }, "Independent deep copy.")
      .def("slice", ByReference(&Bitmap::Slice), "New bitmap of the members in [startInc, endInc].",
           py::arg("startInc"), py::arg("endInc"))
      .def("persisted_size", ByReference(&Bitmap::PersistedSize),
           "Bytes write() needs; optimize/shrink compact the buckets in place first.",
           py::arg("portable") = true,
           py::arg("optimize") = true, py::arg("shrink") = true)
      .def_static(
          "read",
          [](const py::buffer& buffer, bool portable) {
            ByteBuffer bytes = RequestBytes(buffer, /*writable=*/false);
            return Bitmap::Read(bytes.data(), bytes.length(), portable);
          },
          "Bitmap decoded from a bytes-like object written by write().", py::arg("buffer"),
          py::arg("portable") = true)
      .def(
          "write",
          [](const Bitmap& self, const py::buffer& buffer, bool portable) {
            ByteBuffer bytes = RequestBytes(buffer, /*writable=*/true);
            return self.Write(bytes.data(), bytes.length(), portable);
          },
          "Serialises into a writable bytes-like object; returns the bytes written.",
          py::arg("buffer"), py::arg("portable") = true)
      .def("cardinality", ByReference(&Bitmap::Cardinality), "Number of members.")
      .def("__len__", ByReference(&Bitmap::Cardinality), "Number of members.")
      .def("empty", ByReference(&Bitmap::Empty), "True when there is no member.")
      .def("first", ByReference(&Bitmap::First), "Smallest member, None when empty.")
      .def("last", ByReference(&Bitmap::Last), "Largest member, None when empty.")
      .def("in_memory_size", ByReference(&Bitmap::InMemorySize),
           "Number of containers the buckets use once run-length optimised.")
      .def("lower_cardinality", ByReference(&Bitmap::LowerCardinality),
           "Number of members below position.", py::arg("position"))
      .def("upper_cardinality", ByReference(&Bitmap::UpperCardinality),
           "Number of members above position.", py::arg("position"))
      .def("nth", ByReference(&Bitmap::Nth), "Member of 0-based rank ordinal.", py::arg("ordinal"))
      .def("self_or_next", ByReference(&Bitmap::SelfOrNext), "Smallest member >= position, or None.",
           py::arg("position"))
      .def("self_or_previous", ByReference(&Bitmap::SelfOrPrevious),
           "Largest member <= position, or None.", py::arg("position"))
      .def("subset_of", ByReference(&Bitmap::SubsetOf), "Every member is in other.", py::arg("other"))
      .def("strict_subset_of", ByReference(&Bitmap::StrictSubsetOf), "Subset of other and not equal.",
           py::arg("other"))
      .def("contains", ByReference(&Bitmap::Contains), "Membership of position.", py::arg("position"))
      .def("__contains__", ByReference(&Bitmap::Contains), py::arg("position"))
      .def("all", ByReference(&Bitmap::All), "Every value of [startInc, endEx) is a member.",
           py::arg("startInc"), py::arg("endEx"))
      .def("any", ByReference(&Bitmap::Any), "Some value of [startInc, endEx) is a member.",
           py::arg("startInc"), py::arg("endEx"))
      .def("contract", ByReference(&Bitmap::Contract),
           "Removes [position, position + by) and moves the members above it down by `by`.",
           py::arg("position"), py::arg("by"))
      .def("expand", ByReference(&Bitmap::Expand), "Moves the members >= position up by `by`.",
           py::arg("position"), py::arg("by"))
      .def(
          "set",
          [](Bitmap& self, uint64_t position, std::optional<uint64_t> end) {
            if (end) {
              self.AddRange(position, *end);
            } else {
              self.Add(position);
            }
          },
          "Adds position, or every value of [position, endEx).",
          py::arg("position"), py::arg("endEx") = py::none())
      .def(
          "unset",
          [](Bitmap& self, uint64_t position, std::optional<uint64_t> end) {
            if (end) {
              self.RemoveRange(position, *end);
            } else {
              self.Remove(position);
            }
          },
          "Removes position, or every value of [position, endEx).",
          py::arg("position"), py::arg("endEx") = py::none())
      .def(
          "flip",
          [](Bitmap& self, uint64_t position, std::optional<uint64_t> end) {
            if (end) {
              self.FlipRange(position, *end);
            } else if (self.Contains(position)) {
              self.Remove(position);
            } else {
              self.Add(position);
            }
          },
          "Toggles position, or every value of [position, endEx).",
          py::arg("position"), py::arg("endEx") = py::none());

  // Binary operators: named method plus Python operator; the operators answer
  // NotImplemented for operands that are not bitmaps.
  auto binary = [&bitmap](const char* name, const char* op, Bitmap (Bitmap::*method)(const Bitmap&) const,
                          const char* doc) {
    bitmap.def(name, ByReference(method), py::arg("other"), doc);
    bitmap.def(op, ByReference(method), py::arg("other"), py::is_operator());
  };
  binary("union", "__or__", &Bitmap::Union, "New bitmap of the members of either (also a | b).");
  binary("intersect", "__and__", &Bitmap::Intersect, "New bitmap of the members of both (also a & b).");
  binary("difference", "__sub__", &Bitmap::Difference, "New bitmap of the members not in other (also a - b).");
  binary("symmetric_difference", "__xor__", &Bitmap::SymmetricDifference,
         "New bitmap of the members of exactly one (also a ^ b).");
  bitmap.def(
      "__eq__", [](const Bitmap& self, const Bitmap& other) { return self == other; },
      py::arg("other"), py::is_operator());

  // In-place operators return self (the same Python object).
  auto inplace = [&bitmap](const char* name, const char* op, Bitmap& (Bitmap::*method)(const Bitmap&),
                           const char* doc) {
    bitmap.def(name, ByReference(method), py::arg("other"), py::return_value_policy::reference, doc);
    bitmap.def(op, ByReference(method), py::arg("other"), py::is_operator(),
               py::return_value_policy::reference);
  };
  inplace("inplace_union", "__ior__", &Bitmap::InplaceUnion, "Adds the members of other; returns self (also a |= b).");
  inplace("inplace_intersect", "__iand__", &Bitmap::InplaceIntersect,
          "Keeps only the members also in other; returns self (also a &= b).");
  inplace("inplace_difference", "__isub__", &Bitmap::InplaceDifference,
          "Removes the members of other; returns self (also a -= b).");
  inplace("inplace_symmetric_difference", "__ixor__", &Bitmap::InplaceSymmetricDifference,
          "Keeps the members of exactly one; returns self (also a ^= b).");

  bitmap.def("__iter__",
             [](py::object self) {
               // Reached with any object when called through the class: Bitmap.__iter__(None).
               if (!py::isinstance<Bitmap>(self)) throw py::type_error("Bitmap.__iter__ needs a Bitmap");
               py::object chain = py::module_::import("itertools").attr("chain");
               return chain.attr("from_iterable")(MemberChunks(std::move(self)));
             },
             "Members in ascending order, fetched lazily in chunks.")
      .def("index_array", &IndexArrayOf, "All members, ascending, as a uint64 array.")
      .def("bool_array", &BoolArray,
           "Membership mask up to the last member (from the first when relative).",
           py::arg("invert") = false, py::arg("relative") = false);
}

}  // namespace module
}  // namespace quillmark
