#include "cpu_images.hpp"


namespace fused_ssim {
namespace {

std::string type_name(const py::handle& value) { return Py_TYPE(value.ptr())->tp_name; }

std::string prefix(const char* function) { return std::string(function) + "(): "; }

std::string shape_text(const std::array<std::ptrdiff_t, 4>& shape) {
  std::string out = "(";
  for (std::size_t d = 0; d < shape.size(); ++d) out += (d ? ", " : "") + std::to_string(shape[d]);
  return out + ")";
}

}  // namespace

CpuImages cpu_images(const qh::Namespace& ns, const char* function, const char* name, const py::object& value) {
  py::object torch = ns.torch();
  if (!py::isinstance(value, torch.attr("Tensor")))
    qh::raise(PyExc_TypeError, qh::cat(prefix(function), name, " must be a torch.Tensor, not ", type_name(value)));
  if (!value.attr("layout").equal(torch.attr("strided")))
    qh::raise(PyExc_ValueError,
              qh::cat(prefix(function), name, " must be a dense tensor, got layout ", value.attr("layout")));
  if (py::str(value.attr("device").attr("type")).cast<std::string>() != "cpu")
    qh::raise(PyExc_ValueError, qh::cat(prefix(function), name, " is on device ", value.attr("device"),
                                        "; the fused SSIM kernels run on the CPU only"));
  py::object dtype = value.attr("dtype");
  const bool is_float = dtype.equal(torch.attr("float32"));
  const bool is_double = dtype.equal(torch.attr("float64"));
  if (!is_float && !is_double)
    qh::raise(PyExc_TypeError,
              qh::cat(prefix(function), name, " has dtype ", dtype, "; expected torch.float32 or torch.float64"));
  const auto rank = value.attr("dim")().cast<long>();
  if (rank != 4)
    qh::raise(PyExc_ValueError, qh::cat(prefix(function), name, " must have 4 dimensions (N, C, H, W), got ", rank));

  CpuImages images;
  images.tensor = value;
  images.array = value.attr("detach")().attr("resolve_neg")().attr("numpy")();
  images.is_double = is_double;
  const auto itemsize = static_cast<std::ptrdiff_t>(images.array.itemsize());
  for (int d = 0; d < 4; ++d) {
    images.shape[d] = static_cast<std::ptrdiff_t>(images.array.shape(d));
    const auto stride = static_cast<std::ptrdiff_t>(images.array.strides(d));
    if (stride % itemsize != 0)
      qh::raise(PyExc_ValueError, qh::cat(prefix(function), name, " has strides that are not whole elements"));
    images.strides[d] = stride / itemsize;
  }
  return images;
}

void require_match(const char* function, const CpuImages& first, const char* first_name, const CpuImages& other,
                   const char* other_name) {
  if (first.is_double != other.is_double)
    qh::raise(PyExc_TypeError, qh::cat(prefix(function), first_name, " and ", other_name, " differ in dtype (",
                                       first.tensor.attr("dtype"), " and ", other.tensor.attr("dtype"), ")"));
  if (first.shape != other.shape)
    qh::raise(PyExc_ValueError, qh::cat(prefix(function), first_name, " and ", other_name, " differ in shape (",
                                        shape_text(first.shape), " and ", shape_text(other.shape), ")"));
}

double real_constant(const char* function, const char* name, const py::object& value) {
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    qh::raise(PyExc_TypeError, qh::cat(prefix(function), name, " must be a real number, not ", type_name(value)));
  }
  return v;
}

Output empty_like(const qh::Namespace& ns, const CpuImages& like) {
  Output out;
  out.tensor = ns.torch().attr("empty")(like.tensor.attr("shape"), py::arg("dtype") = like.tensor.attr("dtype"));
  out.array = out.tensor.attr("numpy")();
  return out;
}

}  // namespace fused_ssim
