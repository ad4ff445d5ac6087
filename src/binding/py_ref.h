// The one owner of Python references. Every reference the binding holds lives in a
// PyRef, so no path through a call (error, early return, C++ exception) can leak one.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orvane::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  /// Takes over a new reference (may be null after a failed call).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  /// Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(other.object_) { other.object_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = other.object_;
      other.object_ = nullptr;
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  /// Gives the reference away, for APIs that steal it or for a call's result.
  PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

}  // namespace orvane::py
