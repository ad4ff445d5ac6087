// The one call frame every entry point runs in: access to the object, argument-list
// parsing and the single catch-all that keeps C++ exceptions out of the interpreter.
// What a row's call does inside the frame is row_binding.h's.
#pragma once

#include <array>
#include <cstddef>

#include "errors.h"
#include "py_ref.h"

namespace orvane::py {

enum class Access { kNone, kShared, kExclusive };

/// Every parameter name a method declares. Each is made a str once, at class set-up, so
/// a keyword call compares the caller's key objects with ours instead of building keys.
enum class Name : unsigned char {
  kAddress,
  kAmount,
  kIndex,
  kValue,
  kBytes,
  kLabels,
  kLabel,
  kAmountInBytes,
  kTarget,
  kCount
};

struct Param {
  Name name;
  bool required;
};

/// Interns every parameter name; false with the Python error set.
bool intern_parameter_names() noexcept;

/// Converts the parsed arguments (one slot per parameter, null when absent), calls the
/// model and builds the result; null with an error set on failure.
using Invoke = PyObject* (*)(PyObject* self, const PyRef* args);

struct MethodRow;

/// A row's own entry point, for a row whose call does work outside the frame (loading
/// without the GIL); it runs the frame itself for the rest. Called with the fast
/// calling convention's arguments, like run_call.
using Enter = PyObject* (*)(const MethodRow& row, PyObject* self, PyObject* const* args,
                            Py_ssize_t given, PyObject* kwnames);

/// One row of the method table.
struct MethodRow {
  const char* name;
  int flags;
  Access access;
  const Param* params;
  std::size_t param_count;
  Invoke invoke;
  /// Null: the call runs entirely inside the frame (run_call).
  Enter enter;
};

/// Runs one method call: access, parsing into `slots` (one per parameter of the row),
/// invoke, and every way out mapped to a result or a Python exception. Never lets a C++
/// exception escape.
/// The arguments come as the interpreter's fast calling convention passes them:
/// `given` positional ones, then one value per key name in `kwnames` (null: no keys).
PyObject* run_call(const MethodRow& row, PyObject* self, PyObject* const* args, Py_ssize_t given,
                   PyObject* kwnames, PyRef* slots) noexcept;

/// run_call with the slot array sized by the row itself, so no row can write past it.
/// Strong references: Python code run by a conversion could otherwise drop the last
/// reference to an argument (by clearing a dictionary it passed with **) mid-call.
template <std::size_t kParams>
PyObject* run_call(const MethodRow& row, PyObject* self, PyObject* const* args, Py_ssize_t given,
                   PyObject* kwnames) noexcept {
  std::array<PyRef, kParams> slots;
  return run_call(row, self, args, given, kwnames, slots.data());
}

/// Sets the Python exception for the C++ exception being handled.
void raise_current_exception() noexcept;

/// Runs `body` with the catch-all; a null result without an error becomes InternalFault.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
  PyObject* result = nullptr;
  try {
    result = body();
  } catch (...) {
    raise_current_exception();
    return nullptr;
  }
  if (result == nullptr && !PyErr_Occurred()) raise_internal_fault("Internal fault.");
  return result;
}

}  // namespace orvane::py
