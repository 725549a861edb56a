// Column mean and standard deviation for the standardisation of features, natively where the
// result is pandas' own to the bit.
#include <pybind11/numpy.h>

#include "brevant/brevant.hpp"
#include "brevant/frozen.hpp"
#include "orvalis/core/moments.hpp"

namespace orvalis::brevant {

bool native_moments() {
    // with bottleneck in use pandas takes its kernels instead
    return !py::module_::import("pandas.core.nanops").attr("_USE_BOTTLENECK").cast<bool>();
}

bool column_moments(py::handle values, double& mean, double& sd) {
    if (!py::isinstance<py::array>(values)) return false;
    py::array a = py::reinterpret_borrow<py::array>(values);
    const char kind = a.dtype().kind();
    if (a.ndim() != 1 || a.dtype().itemsize() != 8 || (kind != 'f' && kind != 'i')) return false;
    if (!native_moments()) return false;
    const auto n = static_cast<std::size_t>(a.shape(0));
    core::Moments m{};
    if (kind == 'f') {
        auto c = py::array_t<double, py::array::c_style | py::array::forcecast>(a);
        std::span<const double> x(c.data(), n);
        py::gil_scoped_release release;
        m = core::moments(x);
    } else {
        const auto bufsize = py::module_::import("numpy").attr("getbufsize")().cast<std::size_t>();
        auto c = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(a);
        std::span<const std::int64_t> x(c.data(), n);
        py::gil_scoped_release release;
        m = core::moments(x, bufsize);
    }
    mean = m.mean;
    sd = m.sd;
    return true;
}

void standardise(py::object df, py::handle name) {
    py::object c = df[name];
    py::tuple m = batch_quantity(name, "moments", [&]() -> py::object {
        double mean, sd;
        if (column_moments(c.attr("_values"), mean, sd)) return py::make_tuple(mean, sd);
        return py::make_tuple(c.attr("mean")(), c.attr("std")());
    });
    df[name] = (c - m[0]) / m[1];
}

}  // namespace orvalis::brevant
