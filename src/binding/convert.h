// Conversions between Python objects and the model's plain values: one struct per
// argument rule (value type + convert), one to_python overload per result type.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bin_archive.h"
#include "py_ref.h"

namespace orvane::py {

// Argument rules. convert() returns false with the Python error set. `object` is null
// only for an omitted optional parameter. Values that point into an argument (Bytes)
// stay valid because the call frame holds a reference to every argument.

struct U64 {
  using type = std::uint64_t;
  static bool convert(PyObject* object, type& out);
};
struct U32 {
  using type = std::uint32_t;
  static bool convert(PyObject* object, type& out);
};
struct I32 {
  using type = std::int32_t;
  static bool convert(PyObject* object, type& out);
};
struct I16 {
  using type = std::int16_t;
  static bool convert(PyObject* object, type& out);
};
struct I8 {
  using type = std::int8_t;
  static bool convert(PyObject* object, type& out);
};
struct U16 {
  using type = std::uint16_t;
  static bool convert(PyObject* object, type& out);
};
struct U8 {
  using type = std::uint8_t;
  static bool convert(PyObject* object, type& out);
};
struct F32 {
  using type = float;
  static bool convert(PyObject* object, type& out);
};
struct Str {
  using type = std::string;
  static bool convert(PyObject* object, type& out);
};
struct OptionalStr {
  using type = std::optional<std::string>;
  static bool convert(PyObject* object, type& out);
};
struct OptionalU64 {
  using type = std::optional<std::uint64_t>;
  static bool convert(PyObject* object, type& out);
};
struct Bytes {
  using type = ByteView;
  static bool convert(PyObject* object, type& out);
};
struct StrList {
  using type = std::vector<std::string>;
  static bool convert(PyObject* object, type& out);
};

/// Rounds a double to the nearest single-precision value, ties to even; magnitudes
/// beyond the float range become infinities of the same sign, NaN stays NaN.
float to_f32(double value) noexcept;

// Result rules. Each returns a new reference, or null with the Python error set.

PyObject* to_python(Ok);
PyObject* to_python(std::uint8_t value);
PyObject* to_python(std::uint16_t value);
PyObject* to_python(std::uint32_t value);
PyObject* to_python(std::uint64_t value);
PyObject* to_python(std::int8_t value);
PyObject* to_python(std::int16_t value);
PyObject* to_python(std::int32_t value);
PyObject* to_python(float value);
PyObject* to_python(ByteView bytes);
PyObject* to_python(const Text& text);
PyObject* to_python(const std::vector<Text>& names);
PyObject* to_python(const std::vector<std::uint8_t>& file);

template <typename T>
PyObject* to_python(const std::optional<T>& value) {
  if (!value) Py_RETURN_NONE;
  return to_python(*value);
}

/// A result the interpreter failed to build, whatever it raised, ends the call with
/// InternalFault. MemoryError is kept for the model's own allocations.
PyObject* checked_result(PyObject* result) noexcept;

}  // namespace orvane::py
