// Exception classes created on first use and kept for the life of the process; they are
// not module attributes.
#include "errors.h"

namespace orvane::py {

namespace {

PyObject* lazily(PyObject*& slot, const char* name, PyObject* base) noexcept {
  if (slot == nullptr) slot = PyErr_NewException(name, base, nullptr);
  return slot;
}

PyObject* g_internal_fault = nullptr;
PyObject* g_shared_access_error = nullptr;
PyObject* g_exclusive_access_error = nullptr;

}  // namespace

PyObject* internal_fault_type() noexcept {
  return lazily(g_internal_fault, "ext_runtime.InternalFault", PyExc_BaseException);
}
PyObject* shared_access_error_type() noexcept {
  return lazily(g_shared_access_error, "ext_runtime.SharedAccessError", PyExc_RuntimeError);
}
PyObject* exclusive_access_error_type() noexcept {
  return lazily(g_exclusive_access_error, "ext_runtime.ExclusiveAccessError", PyExc_RuntimeError);
}

void raise_internal_fault(const char* message) noexcept {
  PyObject* type = internal_fault_type();
  if (type == nullptr) return;  // the class could not be made: that error stands
  PyRef text = PyRef::steal(PyUnicode_FromString(message));
  if (text) PyErr_SetObject(type, text.get());
}

void raise_value_error(const char* message, Py_ssize_t length) noexcept {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message, length));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

void raise_bare(PyObject* type) noexcept {
  if (type != nullptr) PyErr_SetNone(type);
}

}  // namespace orvane::py
