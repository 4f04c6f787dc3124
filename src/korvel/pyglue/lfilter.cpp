#include "lfilter.hpp"

#include <span>

#include "ndarray.hpp"

namespace korvel::pyglue {

Samples samples(nb::handle obj) {
    Samples s;
    double* data;
    Py_ssize_t n;
    if (np::f64_input(obj.ptr(), data, n)) {
        s.array = nb::borrow(obj);
    } else {
        s.array = np::array_f64(obj);
        s.ours = true;
        if (!np::f64_view(s.array.ptr(), data, n, true)) return s;
    }
    s.data = data;
    s.n = static_cast<std::size_t>(n);
    s.one_dimensional = true;
    return s;
}

nb::object filter_array(const Iir& f, const Samples& s, double* z, std::optional<Deviation> dev) {
    f.check();
    const std::size_t n = s.n;
    // A lone sample, or a lone tap, is a sum of one product on every host.
    if (f.fir_taps().size() < 2 || n < 2) {
        double* y = const_cast<double*>(s.data);
        nb::object out = s.array;
        if (!s.ours) out = np::new_f64(n, y);
        if (dev)
            f.filter_deviation(s.data, y, n, z, dev->x0, dev->y0);
        else
            f.filter(s.data, y, n, z);
        return out;
    }
    nb::object d = s.array;
    if (dev) {
        double* dd = const_cast<double*>(s.data);
        if (!s.ours) d = np::new_f64(n, dd);
        for (std::size_t k = 0; k < n; ++k)
            dd[k] = s.data[k] - dev->x0;
    }
    const std::span<const double> taps = f.fir_taps();
    nb::object full = np::convolve(np::copy_f64(taps.data(), taps.size()), d);
    double* y;
    Py_ssize_t size;
    if (!np::f64_view(full.ptr(), y, size, true) ||
        static_cast<std::size_t>(size) != n + f.state_size())
        throw std::logic_error("np.convolve gave an unexpected array");
    f.fir_join(y, n, z);
    if (dev)
        for (std::size_t k = 0; k < n; ++k)
            y[k] += dev->y0;
    // lfilter returns the head of the convolution too.
    return np::head(full, n);
}

} // namespace korvel::pyglue
