#include "errors_bridge.hpp"

#include <cstring>
#include <new>
#include <stdexcept>

namespace quarnet::host {
namespace {

// OSError(code, strerror(code)[; detail], filename): the subclass follows the code.
py::object os_error(int code, py::handle filename, std::string_view detail) {
  std::string message = std::strerror(code);
  if (!detail.empty()) message.append("; ").append(detail);
  return py::reinterpret_borrow<py::object>(PyExc_OSError)(code, message, filename);
}

void set_os_error(const quarnet::OsError& e) {
  try {
    raise_os_error(e);
  } catch (py::error_already_set& error) {
    error.restore();
  }
}

void set_value_error(const char* message) {
  try {
    PyErr_SetObject(PyExc_ValueError, fs_decode(message).ptr());
  } catch (py::error_already_set& error) {
    error.restore();
  }
}

}  // namespace

std::string fs_encode(py::handle path) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &encoded) == 0) throw py::error_already_set();
  const auto bytes = py::reinterpret_steal<py::bytes>(encoded);
  return std::string(bytes);
}

std::optional<std::string> fs_encode_if_path(py::handle path) {
  try {
    return fs_encode(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    return std::nullopt;
  }
}

py::str fs_decode(std::string_view path) {
  return detail::result_of<py::str>(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

void raise_os_error(int code, py::handle filename, std::string_view detail) {
  py::object error = os_error(code, filename, detail);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void raise_os_error(const quarnet::OsError& error, py::handle filename) {
  if (filename) raise_os_error(error.code(), filename);
  raise_os_error(error.code(), fs_decode(error.path()));
}

void add_note(const py::error_already_set& error, const py::object& note) {
  const py::object& value = error.value();
  if (!note || !value || !PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return;
  if (!py::hasattr(value, "add_note")) return;
  try {
    value.attr("add_note")(note);
  } catch (py::error_already_set&) {  // a note that cannot be added leaves the error as it is
  }
}

void detail::set_error_from_current_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const quarnet::OsError& e) {
    set_os_error(e);
  } catch (const quarnet::FormatError& e) {
    set_value_error(e.what());
  } catch (const quarnet::ArgumentError& e) {
    set_value_error(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

}  // namespace quarnet::host
