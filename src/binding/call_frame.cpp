// The generic call frame: access first, then the argument list, then the row's
// conversions and model call; every way out gives the access back and sets an error.
#include "call_frame.h"

#include <exception>
#include <new>
#include <string>

namespace orvane::py {

namespace {

/// Holds shared or exclusive access to one object for the length of a call. A call
/// made from Python code that runs during argument conversion meets the same flag.
class AccessGuard {
 public:
  AccessGuard() noexcept = default;
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  ~AccessGuard() {
    if (self_ == nullptr) return;
    if (access_ == Access::kShared) {
      --self_->access_flag;
    } else {
      self_->access_flag = 0;
    }
  }

  /// False with SharedAccessError / ExclusiveAccessError set when refused.
  bool acquire(PyObject* object, Access access) noexcept {
    auto* self = reinterpret_cast<ArchiveObject*>(object);
    if (access == Access::kShared) {
      if (self->access_flag == -1) {
        raise_bare(shared_access_error_type());
        return false;
      }
      ++self->access_flag;
    } else {
      if (self->access_flag != 0) {
        raise_bare(exclusive_access_error_type());
        return false;
      }
      self->access_flag = -1;
    }
    self_ = self;
    access_ = access;
    return true;
  }

 private:
  ArchiveObject* self_ = nullptr;
  Access access_ = Access::kNone;
};

std::string call_name(const MethodRow& row) {
  return std::string("BinArchive.") + row.name + "()";
}

/// The unexpected-keyword message names the key by its str(); a key that is not valid
/// UTF-8 (a lone surrogate) is shown with U+FFFD in its place rather than failing.
bool raise_unexpected_keyword(const MethodRow& row, PyObject* key) {
  PyRef text = PyRef::steal(PyObject_Str(key));
  if (!text) return false;
  if (PyUnicode_AsUTF8AndSize(text.get(), nullptr) == nullptr) {
    PyErr_Clear();
    PyRef raw = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
    if (!raw) return false;
    text = PyRef::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw.get()), PyBytes_GET_SIZE(raw.get()), "replace"));
    if (!text) return false;
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument: %U", call_name(row).c_str(),
               text.get());
  return false;
}

/// Fills one slot per parameter (a new reference, or null when an optional parameter
/// is absent). False with TypeError (or the interpreter's error) set.
bool parse_arguments(const MethodRow& row, PyObject* args, PyObject* kwargs, PyRef* slots) {
  const Py_ssize_t given = args != nullptr ? PyTuple_GET_SIZE(args) : 0;
  PyRef remaining;  // a copy: the caller's dictionary is never changed
  if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) {
    remaining = PyRef::steal(PyDict_Copy(kwargs));
    if (!remaining) return false;
  }
  for (std::size_t i = 0; i < row.param_count; ++i) {
    const Param& param = row.params[i];
    const auto position = static_cast<Py_ssize_t>(i);
    if (remaining) {
      PyRef key = PyRef::steal(PyUnicode_FromString(param.name));
      if (!key) return false;
      PyObject* value = PyDict_GetItemWithError(remaining.get(), key.get());
      if (value != nullptr) {
        if (position < given) {
          PyErr_Format(PyExc_TypeError, "%s got multiple values for argument: %s",
                       call_name(row).c_str(), param.name);
          return false;
        }
        slots[i] = PyRef::borrow(value);
        if (PyDict_DelItem(remaining.get(), key.get()) < 0) return false;
        continue;
      }
      if (PyErr_Occurred()) return false;
    }
    if (position < given) {
      slots[i] = PyRef::borrow(PyTuple_GET_ITEM(args, position));
    } else if (param.required) {
      PyErr_Format(PyExc_TypeError, "%s missing required positional argument: %s",
                   call_name(row).c_str(), param.name);
      return false;
    }
  }
  if (remaining && PyDict_GET_SIZE(remaining.get()) != 0) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyDict_Next(remaining.get(), &position, &key, &value);
    PyRef held = PyRef::borrow(key);  // str() of the key may run Python code
    return raise_unexpected_keyword(row, held.get());
  }
  const auto taken = static_cast<Py_ssize_t>(row.param_count);
  if (given > taken) {
    PyErr_Format(PyExc_TypeError, "%s takes at most %zd positional argument%s (%zd given)",
                 call_name(row).c_str(), taken, taken == 1 ? "" : "s", given);
    return false;
  }
  return true;
}

}  // namespace

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const Fault& fault) {
    raise_internal_fault(fault.what());
  } catch (...) {
    raise_internal_fault("Internal fault.");
  }
}

PyObject* run_call(const MethodRow& row, PyObject* self, PyObject* args, PyObject* kwargs,
                   PyRef* slots) noexcept {
  return guarded([&]() -> PyObject* {
    AccessGuard access;
    if (row.access != Access::kNone && !access.acquire(self, row.access)) return nullptr;
    if (!parse_arguments(row, args, kwargs, slots)) return nullptr;
    return row.invoke(self, slots);
  });
}

}  // namespace orvane::py
