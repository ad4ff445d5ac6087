// PyInit_orvane_core: the module, its __doc__ and the class BinArchive; nothing else
// is initialised here (the exception classes are made when first raised).
#include "archive_type.h"
#include "py_ref.h"

namespace orvane::py {

namespace {

PyModuleDef g_module = {
    PyModuleDef_HEAD_INIT, "orvane_core", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

/// Appends `name` to __all__ (creating it on first use) and sets the attribute.
bool add(PyObject* module, const char* name, PyRef value) {
  if (!value) return false;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  PyRef text = PyRef::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, value.get()) == 0;
}

}  // namespace

}  // namespace orvane::py

// The interpreter's own declaration of an entry point. From 3.9 on it also exports the
// symbol; 3.8's leaves that to the compiler's default visibility, which this build sets
// to hidden, so for 3.8 the visibility pragma of GCC and Clang exports it. (On Windows
// every version's declaration exports it.)
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
#pragma GCC visibility push(default)
#endif
PyMODINIT_FUNC PyInit_orvane_core() {
  using namespace orvane::py;
  PyRef module = PyRef::steal(PyModule_Create2(&g_module, 1013));
  if (!module) return nullptr;
  if (!add(module.get(), "__doc__", PyRef::steal(PyUnicode_FromString("")))) return nullptr;
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(archive_type()));
  if (!add(module.get(), "BinArchive", std::move(type))) return nullptr;
  return module.release();
}
#if PY_VERSION_HEX < 0x03090000 && defined(__GNUC__)
#pragma GCC visibility pop
#endif
