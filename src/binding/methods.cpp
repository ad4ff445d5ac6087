// One row per method: name, calling convention, access, parameters and the model
// function with the conversion of each argument. Everything else is the call frame's.
#include "methods.h"

#include <array>
#include <utility>

#include "row_binding.h"

namespace orvane::py {

namespace {

// The fast convention: positional arguments in the interpreter's array and keyword names
// in a tuple, so a call builds neither an argument tuple nor a keyword dictionary.
constexpr int kArgs = METH_FASTCALL | METH_KEYWORDS;
constexpr int kStatic = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;
constexpr Access S = Access::kShared;
constexpr Access X = Access::kExclusive;
// from_bytes gives up the GIL from this input size on: about where loading takes longer
// than the hand-over of the lock to another thread and back.
constexpr std::size_t kUnlockedLoad = 256 * 1024;

constexpr Param kBytes[] = {{Name::kBytes, true}};
constexpr Param kAddress[] = {{Name::kAddress, true}};
constexpr Param kAddressAmount[] = {{Name::kAddress, true}, {Name::kAmount, true}};
constexpr Param kAddressIndex[] = {{Name::kAddress, true}, {Name::kIndex, true}};
constexpr Param kAddressValue[] = {{Name::kAddress, true}, {Name::kValue, true}};
constexpr Param kAddressBytes[] = {{Name::kAddress, true}, {Name::kBytes, true}};
constexpr Param kAddressOptionalValue[] = {{Name::kAddress, true}, {Name::kValue, false}};
constexpr Param kAddressLabels[] = {{Name::kAddress, true}, {Name::kLabels, true}};
constexpr Param kAddressLabel[] = {{Name::kAddress, true}, {Name::kLabel, true}};
constexpr Param kAmountInBytes[] = {{Name::kAmountInBytes, true}};
constexpr Param kAddressAmountInBytes[] = {{Name::kAddress, true}, {Name::kAmountInBytes, true}};
constexpr Param kTarget[] = {{Name::kTarget, true}};

constexpr MethodRow kMethods[] = {
    row<Load<&from_bytes, kUnlockedLoad>>("from_bytes", kStatic, Access::kNone, kBytes),
    row<Method<&size>>("size", S),
    row<Method<&serialize>>("serialize", S),
    row<Method<&read_f32, U64>>("read_f32", kArgs, S, kAddress),
    row<Method<&read_u8, U64>>("read_u8", kArgs, S, kAddress),
    row<Method<&read_u16, U64>>("read_u16", kArgs, S, kAddress),
    row<Method<&read_u32, U64>>("read_u32", kArgs, S, kAddress),
    row<Method<&read_i8, U64>>("read_i8", kArgs, S, kAddress),
    row<Method<&read_i16, U64>>("read_i16", kArgs, S, kAddress),
    row<Method<&read_i32, U64>>("read_i32", kArgs, S, kAddress),
    row<Method<&read_bytes, U64, U64>>("read_bytes", kArgs, S, kAddressAmount),
    row<Method<&read_string, U64>>("read_string", kArgs, S, kAddress),
    row<Method<&read_pointer, U64>>("read_pointer", kArgs, S, kAddress),
    row<Method<&read_labels, U64>>("read_labels", kArgs, S, kAddress),
    row<Method<&delete_string, U64>>("delete_string", kArgs, X, kAddress),
    row<Method<&delete_pointer, U64>>("delete_pointer", kArgs, X, kAddress),
    row<Method<&delete_labels, U64>>("delete_labels", kArgs, X, kAddress),
    row<Method<&delete_label, U64, U64>>("delete_label", kArgs, X, kAddressIndex),
    row<Method<&write_f32, U64, F32>>("write_f32", kArgs, X, kAddressValue),
    row<Method<&write_u8, U64, U8>>("write_u8", kArgs, X, kAddressValue),
    row<Method<&write_u16, U64, U16>>("write_u16", kArgs, X, kAddressValue),
    row<Method<&write_u32, U64, U32>>("write_u32", kArgs, X, kAddressValue),
    row<Method<&write_i8, U64, I8>>("write_i8", kArgs, X, kAddressValue),
    row<Method<&write_i16, U64, I16>>("write_i16", kArgs, X, kAddressValue),
    row<Method<&write_i32, U64, I32>>("write_i32", kArgs, X, kAddressValue),
    row<Method<&write_bytes, U64, Bytes>>("write_bytes", kArgs, X, kAddressBytes),
    row<Method<&write_string, U64, OptionalStr>>("write_string", kArgs, X, kAddressOptionalValue),
    row<Method<&write_pointer, U64, OptionalU64>>("write_pointer", kArgs, X, kAddressOptionalValue),
    row<Method<&write_labels, U64, StrList>>("write_labels", kArgs, X, kAddressLabels),
    row<Method<&write_label, U64, Str>>("write_label", kArgs, X, kAddressLabel),
    row<Method<&allocate_at_end, U64>>("allocate_at_end", kArgs, X, kAmountInBytes),
    row<Method<&allocate, U64, U64>>("allocate", kArgs, X, kAddressAmountInBytes),
    row<Method<&deallocate, U64, U64>>("deallocate", kArgs, X, kAddressAmountInBytes),
    row<Method<&find_label_address, Str>>("find_label_address", kArgs, S, kTarget),
};
constexpr std::size_t kMethodCount = sizeof(kMethods) / sizeof(kMethods[0]);

// The interpreter passes no per-method data to a C function, so each row gets its own
// short entry point that hands its row to the shared frame, or to the row's own entry
// (from_bytes, which loads outside the frame). Not noexcept, for that row's sake: see
// Load in row_binding.h.
template <std::size_t I>
PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t given, PyObject* kwnames) {
  // A plain if: the row is a constant, so the compiler keeps one of the two calls.
  if (kMethods[I].enter != nullptr)
    return kMethods[I].enter(kMethods[I], self, args, given, kwnames);
  return run_call<kMethods[I].param_count>(kMethods[I], self, args, given, kwnames);
}
template <std::size_t I>
PyObject* entry_noargs(PyObject* self, PyObject*) {
  return run_call<kMethods[I].param_count>(kMethods[I], self, nullptr, 0, nullptr);
}

template <std::size_t I>
PyMethodDef method_def() {
  PyCFunction function =
      kMethods[I].flags == METH_NOARGS
          ? entry_noargs<I>
          : reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(entry<I>));
  return {kMethods[I].name, function, kMethods[I].flags, ""};
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I) + 1> make_table(std::index_sequence<I...>) {
  return {{method_def<I>()..., {nullptr, nullptr, 0, nullptr}}};
}

}  // namespace

PyMethodDef* method_table() noexcept {
  static std::array<PyMethodDef, kMethodCount + 1> table =
      make_table(std::make_index_sequence<kMethodCount>{});
  return table.data();
}

}  // namespace orvane::py
