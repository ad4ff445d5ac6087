// Argument and result conversions. Each argument rule follows the interpreter's own
// conversions and adds only the range checks of its width.
#include "convert.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.h"

namespace orvane::py {

namespace {

/// The interpreter's index conversion into a C long, then the signed 32-bit range that a
/// 32-bit C long has. Where C long is 32 bits (Windows), the interpreter's conversion
/// is that bound; where it is wider (Linux, macOS), the bound is ours, with the
/// interpreter's text. The value stays a long: the narrower rules check it once more.
bool long_in_i32_range(PyObject* object, long& out) {
  PyRef index =
      PyLong_CheckExact(object) ? PyRef::borrow(object) : PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  out = PyLong_AsLong(index.get());
  if (out == -1 && PyErr_Occurred()) return false;
  const long long value = out;  // compared as long long, so no width makes a test vacuous
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    return false;
  }
  return true;
}

template <typename T>
bool narrow(PyObject* object, T& out) {
  long value;
  if (!long_in_i32_range(object, value)) return false;
  if (value < std::numeric_limits<T>::min() || value > std::numeric_limits<T>::max()) {
    raise_bare(PyExc_OverflowError);
    return false;
  }
  out = static_cast<T>(value);
  return true;
}

}  // namespace

bool U64::convert(PyObject* object, type& out) {
  if (PyLong_CheckExact(object)) {  // the common case: PyNumber_Index would return it as is
    if constexpr (sizeof(unsigned long) == sizeof(type)) {
      // Where C long holds 64 bits (Linux, macOS): the interpreter's unsigned long
      // conversion reads the digits directly, where the long long one goes through a
      // byte array for any value of two digits (>= 2^30). Both take the same values;
      // only their error texts differ, so on an error the long long one runs again for
      // its own. Where C long is narrower (Windows), only the long long one takes
      // every value.
      const unsigned long value = PyLong_AsUnsignedLong(object);
      if (!(value == static_cast<unsigned long>(-1) && PyErr_Occurred())) {
        out = value;
        return true;
      }
      PyErr_Clear();
    }
    out = PyLong_AsUnsignedLongLong(object);
    return !(out == static_cast<type>(-1) && PyErr_Occurred());
  }
  PyRef index = PyRef::steal(PyNumber_Index(object));
  if (!index) return false;
  out = PyLong_AsUnsignedLongLong(index.get());
  return !(out == static_cast<type>(-1) && PyErr_Occurred());
}

bool U32::convert(PyObject* object, type& out) {
  std::uint64_t wide;
  if (!U64::convert(object, wide)) return false;
  if (wide > std::numeric_limits<std::uint32_t>::max()) {
    raise_bare(PyExc_OverflowError);
    return false;
  }
  out = static_cast<type>(wide);
  return true;
}

bool I32::convert(PyObject* object, type& out) {
  long value;
  if (!long_in_i32_range(object, value)) return false;
  out = static_cast<type>(value);
  return true;
}

bool I16::convert(PyObject* object, type& out) {
  return narrow(object, out);
}
bool I8::convert(PyObject* object, type& out) {
  return narrow(object, out);
}
bool U16::convert(PyObject* object, type& out) {
  return narrow(object, out);
}
bool U8::convert(PyObject* object, type& out) {
  return narrow(object, out);
}

float to_f32(double value) noexcept {
  // Halfway between the largest float and 2^128; a tie rounds to the even neighbour,
  // 2^128, which is infinity. Converting beyond this would be undefined in C++.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::fabs(value) >= kOverflow) {
    const float infinity = std::numeric_limits<float>::infinity();
    return value > 0 ? infinity : -infinity;
  }
  return static_cast<float>(value);
}

bool F32::convert(PyObject* object, type& out) {
  if (PyFloat_CheckExact(object)) {  // the common case: no conversion, no error to check
    out = to_f32(PyFloat_AS_DOUBLE(object));
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out = to_f32(value);
  return true;
}

bool Str::convert(PyObject* object, type& out) {
  if (!PyUnicode_Check(object)) {
    raise_bare(PyExc_TypeError);
    return false;
  }
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(object, &length);
  if (utf8 == nullptr) return false;
  out.assign(utf8, static_cast<std::size_t>(length));
  return true;
}

bool OptionalStr::convert(PyObject* object, type& out) {
  if (object == nullptr || object == Py_None) return true;
  out.emplace();
  return Str::convert(object, *out);
}

bool OptionalU64::convert(PyObject* object, type& out) {
  if (object == nullptr || object == Py_None) return true;
  out.emplace();
  return U64::convert(object, *out);
}

bool Bytes::convert(PyObject* object, type& out) {
  if (!PyBytes_Check(object)) {
    raise_bare(PyExc_TypeError);
    return false;
  }
  out.data = reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(object));
  out.size = static_cast<std::size_t>(PyBytes_Size(object));
  return true;
}

bool StrList::convert(PyObject* object, type& out) {
  if (!PySequence_Check(object)) {
    raise_bare(PyExc_TypeError);
    return false;
  }
  // Only a hint: __len__ may fail or lie, so an Exception from it is ignored and a
  // large answer is not trusted with an up-front allocation. Anything that is not an
  // Exception (KeyboardInterrupt, SystemExit, InternalFault) is not ours to swallow.
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return false;
    PyErr_Clear();
  }
  if (hint > 0) out.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 4096)));
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    out.emplace_back();
    if (!Str::convert(item.get(), out.back())) return false;
  }
  return !PyErr_Occurred();
}

PyObject* to_python(Ok) {
  Py_RETURN_NONE;
}
PyObject* to_python(std::uint8_t value) {
  return PyLong_FromLong(value);
}
PyObject* to_python(std::uint16_t value) {
  return PyLong_FromLong(value);
}
PyObject* to_python(std::uint32_t value) {
  return PyLong_FromUnsignedLongLong(value);
}
PyObject* to_python(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}
PyObject* to_python(std::int8_t value) {
  return PyLong_FromLong(value);
}
PyObject* to_python(std::int16_t value) {
  return PyLong_FromLong(value);
}
PyObject* to_python(std::int32_t value) {
  return PyLong_FromLong(value);
}
PyObject* to_python(float value) {
  return PyFloat_FromDouble(static_cast<double>(value));
}

PyObject* to_python(ByteView bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data),
                                   static_cast<Py_ssize_t>(bytes.size));
}

PyObject* to_python(const Text& text) {
  std::string scratch;
  const std::string_view utf8 = text.view(scratch);
  return PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size()));
}

PyObject* to_python(const std::vector<Text>& names) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < names.size(); ++i) {
    PyObject* name = to_python(names[i]);
    if (name == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name);
  }
  return list.release();
}

PyObject* to_python(const std::vector<std::uint8_t>& file) {
  // The 256 byte values are the interpreter's shared small ints: fetched once, each
  // item then only takes a reference, with no call per byte.
  PyRef values[256];
  for (int v = 0; v < 256; ++v) {
    values[v] = PyRef::steal(PyLong_FromLong(v));
    if (!values[v]) return nullptr;
  }
  const std::size_t count = file.size();
  if (count > static_cast<std::size_t>(PY_SSIZE_T_MAX) / sizeof(PyObject*)) {
    return PyErr_NoMemory();
  }
#ifdef Py_GIL_DISABLED
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list) return nullptr;
  PyObject** items = reinterpret_cast<PyListObject*>(list.get())->ob_item;
#else
  // PyList_New zero-fills its item array, and a freed list's memory usually comes back
  // for the next one, so every call would write the whole array twice. The items are
  // written here instead into an array of the interpreter's allocator, which the list
  // frees as its own.
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  PyObject** items = nullptr;
  if (count != 0) {
    items = static_cast<PyObject**>(PyMem_Malloc(count * sizeof(PyObject*)));
    if (items == nullptr) return PyErr_NoMemory();
  }
#endif
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* value = values[file[i]].get();
    Py_INCREF(value);
    items[i] = value;
  }
#ifndef Py_GIL_DISABLED
  auto* object = reinterpret_cast<PyListObject*>(list.get());
  object->ob_item = items;
  object->allocated = static_cast<Py_ssize_t>(count);
  object->ob_base.ob_size = static_cast<Py_ssize_t>(count);
#endif
  return list.release();
}

PyObject* checked_result(PyObject* result) noexcept {
  if (result != nullptr) return result;
  PyErr_Clear();
  raise_internal_fault("The result could not be converted to a Python object.");
  return nullptr;
}

}  // namespace orvane::py
