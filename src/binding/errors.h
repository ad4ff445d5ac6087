// The binding's own exception classes and the raising helpers used by the call frame.
#pragma once

#include "py_ref.h"

namespace orvane::py {

/// ext_runtime.InternalFault (base BaseException); null with an error set on failure.
PyObject* internal_fault_type() noexcept;
/// ext_runtime.SharedAccessError (base RuntimeError).
PyObject* shared_access_error_type() noexcept;
/// ext_runtime.ExclusiveAccessError (base RuntimeError).
PyObject* exclusive_access_error_type() noexcept;

/// Raises InternalFault with `message` as its only argument.
void raise_internal_fault(const char* message) noexcept;
/// Raises ValueError with the model's message as its only argument.
void raise_value_error(const char* message, Py_ssize_t length) noexcept;
/// Raises `type` created with no arguments (an exception without message).
void raise_bare(PyObject* type) noexcept;

}  // namespace orvane::py
