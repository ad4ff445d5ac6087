// The generic glue that turns a table row (conversions + model function) into the
// call the frame runs: converting the arguments, calling the model, building the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "archive_type.h"
#include "call_frame.h"
#include "convert.h"
#include "errors.h"

namespace orvane::py {

template <typename T>
struct IsResult : std::false_type {};
template <typename T>
struct IsResult<Result<T>> : std::true_type {};

/// A model result becomes a Python object, or a ValueError carrying the model's message.
template <typename T>
PyObject* finish(T&& outcome) {
  using Plain = std::decay_t<T>;
  if constexpr (IsResult<Plain>::value) {
    if (!outcome.ok()) {
      const std::string& message = outcome.error().message;
      raise_value_error(message.data(), static_cast<Py_ssize_t>(message.size()));
      return nullptr;
    }
    return checked_result(to_python(std::move(outcome).value()));
  } else {
    return checked_result(to_python(std::forward<T>(outcome)));
  }
}

/// The glue for one row: convert each argument in parameter order (stopping at the first
/// failure), call `Model` with the archive and the values, convert its result. Nothing
/// of the archive is touched until every argument has converted, because conversions
/// can run Python code.
template <auto Model, bool kHasArchive, typename... Conv>
struct Bind {
  /// One argument per conversion; the method table checks it against the row.
  static constexpr std::size_t kArity = sizeof...(Conv);
  static constexpr bool kOwnEntry = false;

  static PyObject* invoke(PyObject* self, const PyRef* args) {
    return call(self, args, std::index_sequence_for<Conv...>{});
  }

 private:
  template <std::size_t... I>
  static PyObject* call(PyObject* self, const PyRef* args, std::index_sequence<I...>) {
    (void)args;
    std::tuple<typename Conv::type...> values;
    if (!(Conv::convert(args[I].get(), std::get<I>(values)) && ...)) return nullptr;
    if constexpr (kHasArchive) {
      auto& archive = reinterpret_cast<ArchiveObject*>(self)->archive;
      return finish(Model(archive, std::move(std::get<I>(values))...));
    } else {
      (void)self;
      return finish(Model(std::move(std::get<I>(values))...));
    }
  }
};

/// The glue for loading. The frame only checks the argument and hands the bytes object
/// back; the load itself runs in `enter`, outside the frame, and without the GIL when the
/// input is at least `kUnlockedFrom` bytes, so threads can load in parallel. Smaller
/// inputs keep the GIL: handing it over costs more than they do. The model touches no
/// Python object, and the bytes object it reads is immutable and held by `enter`.
///
/// Why outside the frame: while a daemon thread is without the GIL, the interpreter may
/// start to finalize; the thread's PyEval_RestoreThread then never returns (before 3.14
/// it ends the thread with pthread_exit, a forced unwind up to the thread's start).
/// Every frame of ours on the way must let that unwind pass and clean up nothing that
/// needs the GIL: the frame's catch-all and its noexcept would turn it into
/// std::terminate, and its references would be released without the GIL. So the GIL
/// is taken back here, in the entry point the interpreter called: not noexcept, no
/// try block, and holding nothing whose clean-up touches Python (the reference to the
/// input is a raw one; a thread ended there leaves it to the exiting process).
template <auto Model, std::size_t kUnlockedFrom>
struct Load {
  static constexpr std::size_t kArity = 1;
  static constexpr bool kOwnEntry = true;

  /// Inside the frame: the checked bytes object, a new reference.
  static PyObject* invoke(PyObject*, const PyRef* args) {
    Bytes::type input;
    if (!Bytes::convert(args[0].get(), input)) return nullptr;
    return PyRef::borrow(args[0].get()).release();
  }

  static PyObject* enter(const MethodRow& row, PyObject* self, PyObject* const* args,
                         Py_ssize_t given, PyObject* kwnames) {
    PyObject* input = run_call<kArity>(row, self, args, given, kwnames);
    if (input == nullptr) return nullptr;
    const ByteView bytes{reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(input)),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(input))};
    Loaded loaded;
    if (bytes.size < kUnlockedFrom) {
      load(bytes, loaded);
    } else {
      PyThreadState* state = PyEval_SaveThread();
      load(bytes, loaded);
      PyEval_RestoreThread(state);  // may end this thread: see above
    }
    Py_DECREF(input);
    return guarded([&]() -> PyObject* {
      if (loaded.failure) std::rethrow_exception(loaded.failure);
      return finish(std::move(*loaded.result));
    });
  }

 private:
  /// What the model's load left: its result, or the C++ exception it threw. Freeing
  /// either needs no GIL.
  struct Loaded {
    std::optional<decltype(Model(ByteView{}))> result;
    std::exception_ptr failure;
  };

  static void load(ByteView input, Loaded& out) noexcept {
    try {
      out.result.emplace(Model(input));
    } catch (...) {
      out.failure = std::current_exception();
    }
  }
};

// A row's parameter list and its binder's conversions must agree one to one: the frame
// fills one slot per parameter and the binder reads one per conversion.
template <typename Binder, std::size_t N>
constexpr MethodRow row(const char* name, int flags, Access access, const Param (&params)[N]) {
  static_assert(N == Binder::kArity, "a row needs one parameter per conversion");
  if constexpr (Binder::kOwnEntry) {
    return {name, flags, access, params, N, &Binder::invoke, &Binder::enter};
  } else {
    return {name, flags, access, params, N, &Binder::invoke, nullptr};
  }
}
template <typename Binder>
constexpr MethodRow row(const char* name, Access access) {
  static_assert(Binder::kArity == 0, "a METH_NOARGS row takes no conversions");
  static_assert(!Binder::kOwnEntry, "a METH_NOARGS row runs in the frame");
  return {name, METH_NOARGS, access, nullptr, 0, &Binder::invoke, nullptr};
}

/// A method of an instance: the model function takes the archive first.
template <auto Model, typename... Conv>
using Method = Bind<Model, true, Conv...>;
/// A static method: no instance, no access.
template <auto Model, typename... Conv>
using Static = Bind<Model, false, Conv...>;

}  // namespace orvane::py
