// A module's PyInit_<name> entry: QUARNET_MODULE(name, ns) { body }, whose
// body gets the new module's namespace. Unlike PYBIND11_MODULE, an exception
// from the body (a failed import, say) reaches the importer unchanged rather
// than wrapped in ImportError("initialization failed"). It prepares
// pybind11's internals as PYBIND11_MODULE does, so the pybind11 it is built
// against is pinned (requirements/constraints.txt) and the canary builds
// against the newest (scripts/canary.sh).
#pragma once

#include <pybind11/pybind11.h>

#include "namespace.hpp"

namespace quarnet::host {

// Runs a module body on the new module's namespace; returns 0, or -1 with
// the body's exception set unchanged.
int run_module_body(PyObject* module, void (*body)(const Namespace&));

}  // namespace quarnet::host

#define QUARNET_MODULE(name, ns)                                                                       \
  static void quarnet_module_body_##name(const ::quarnet::host::Namespace&);                           \
  static int quarnet_module_exec_##name(PyObject* module) {                                            \
    return ::quarnet::host::run_module_body(module, quarnet_module_body_##name);                       \
  }                                                                                                    \
  PYBIND11_PLUGIN_IMPL(name) {                                                                         \
    PYBIND11_CHECK_PYTHON_VERSION                                                                      \
    static PyModuleDef_Slot slots[] = {                                                                \
        {Py_mod_exec, reinterpret_cast<void*>(quarnet_module_exec_##name)}, {0, nullptr}};             \
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr}; \
    return PyModuleDef_Init(&def);                                                                     \
  }                                                                                                    \
  static void quarnet_module_body_##name(const ::quarnet::host::Namespace& ns)
