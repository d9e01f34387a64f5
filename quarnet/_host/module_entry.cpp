#include "module_entry.hpp"

#include "callable.hpp"
#include "errors_bridge.hpp"

namespace quarnet::host {

int run_module_body(PyObject* module, void (*body)(const Namespace&)) {
  try {
    py::detail::get_internals();  // what PYBIND11_MODULE prepares before its body
    detail::prepare_callable_type();
    detail::prepare_namespace();
    detail::prepare_interpreter();
    body(Namespace(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module))));
    return 0;
  } catch (...) {
    detail::set_error_from_current_exception();
  }
  return -1;
}

}  // namespace quarnet::host
