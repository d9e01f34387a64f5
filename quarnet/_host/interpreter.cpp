#include "interpreter.hpp"

namespace quarnet::host {
namespace {

// Made by prepare_interpreter, with the GIL held, and read under the GIL
// afterwards. No function-local static: its guard would be held across
// Python calls, which may release the GIL and deadlock a thread waiting on
// the guard while holding the GIL.
PyObject* empty_str = nullptr;  // ""

}  // namespace

void detail::prepare_interpreter() {
  if (empty_str != nullptr) return;
  empty_str = PyUnicode_FromStringAndSize("", 0);
  if (empty_str == nullptr) throw py::error_already_set();
}

void detail::raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw py::error_already_set();
}

py::str detail::join(const py::tuple& pieces) {
  PyObject* joined = PyUnicode_Join(empty_str, pieces.ptr());
  if (joined == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

void raise(PyObject* exc_type, const py::object& message) {
  py::object exc = py::reinterpret_borrow<py::object>(exc_type)(message);
  PyErr_SetObject(exc_type, exc.ptr());
  throw py::error_already_set();
}

bool truthy(py::handle value) {
  const int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

bool isinstance(py::handle value, py::handle type) {
  const int r = PyObject_IsInstance(value.ptr(), type.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

using detail::result_of;

py::object negative(py::handle value) { return result_of(PyNumber_Negative(value.ptr())); }
py::object matmul(py::handle a, py::handle b) { return result_of(PyNumber_MatrixMultiply(a.ptr(), b.ptr())); }
py::object power(py::handle a, py::handle b) { return result_of(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }
py::object floor_divide(py::handle a, py::handle b) { return result_of(PyNumber_FloorDivide(a.ptr(), b.ptr())); }

py::object compare(py::handle a, py::handle b, int op) { return result_of(PyObject_RichCompare(a.ptr(), b.ptr(), op)); }

py::object to_int(py::handle value) { return result_of(PyNumber_Long(value.ptr())); }
py::object to_float(py::handle value) { return result_of(PyNumber_Float(value.ptr())); }
py::str to_str(py::handle value) { return result_of<py::str>(PyObject_Str(value.ptr())); }

py::list sorted(py::handle iterable) {
  auto list = result_of<py::list>(PySequence_List(iterable.ptr()));
  if (PyList_Sort(list.ptr()) != 0) throw py::error_already_set();
  return list;
}

std::vector<py::object> unpack(py::handle value, std::size_t n) {
  PyObject* it = PyObject_GetIter(value.ptr());
  if (it == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
        !PySequence_Check(value.ptr())) {
      PyErr_Clear();
      detail::raise_type_error(std::string("cannot unpack non-iterable ") + Py_TYPE(value.ptr())->tp_name + " object");
    }
    throw py::error_already_set();
  }
  const auto iter = py::reinterpret_steal<py::object>(it);
  std::vector<py::object> items;
  items.reserve(n);
  while (items.size() <= n) {
    PyObject* item = PyIter_Next(it);
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    items.push_back(py::reinterpret_steal<py::object>(item));
  }
  if (items.size() < n) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, items.size());
    throw py::error_already_set();
  }
  if (items.size() > n) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    throw py::error_already_set();
  }
  return items;
}

void require_exact_type(py::handle value, py::handle type, const char* name) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())) == type.ptr()) return;
  const auto* expected = reinterpret_cast<PyTypeObject*>(type.ptr())->tp_name;
  detail::raise_type_error(std::string("Argument '") + name + "' has incorrect type (expected " + expected + ", got " +
                           Py_TYPE(value.ptr())->tp_name + ")");
}

}  // namespace quarnet::host
