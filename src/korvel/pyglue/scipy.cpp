#include "scipy.hpp"

#include "arrays.hpp"
#include "calls.hpp"

namespace korvel::pyglue {

DiscreteTf cont2discrete(std::span<const double> num, std::span<const double> den, nb::handle Ts,
                         nb::handle method) {
    static PyObject* fn = nullptr;
    if (!fn) fn = import_attr("scipy.signal", "cont2discrete").release().ptr();
    nb::object system = nb::make_tuple(f64_array(num), f64_array(den));
    nb::object res;
    if (method.is_valid())
        res = nb::handle(fn)(system, nb::arg("dt") = Ts, nb::arg("method") = method,
                             nb::arg("alpha") = nb::none());
    else
        res = nb::handle(fn)(system, Ts);
    auto parts = unpack(res, 3);
    nb::object row = parts[0][nb::int_(0)];
    return {doubles(row, "the numerator"), doubles(parts[1], "the denominator")};
}

DiscreteTf c2d(std::span<const double> num, std::span<const double> den, nb::handle delay,
               nb::handle Ts, nb::handle method) {
    DiscreteTf d = cont2discrete(korvel::trim_leading_zeros(num), den, Ts, method);
    static PyObject* const round = nb::object(import_attr("builtins", "round")).release().ptr();
    nb::object ratio = checked(PyNumber_TrueDivide(delay.ptr(), Ts.ptr()));
    nb::object samples =
        checked(PyNumber_Long(checked(PyObject_CallOneArg(round, ratio.ptr())).ptr()));
    const Py_ssize_t n = PyLong_AsSsize_t(samples.ptr());
    if (n == -1 && PyErr_Occurred()) raise();
    if (n < 0) raise_format(PyExc_ValueError, "negative dimensions are not allowed");
    d.num = korvel::with_dead_time(d.num, static_cast<std::size_t>(n));
    return d;
}

} // namespace korvel::pyglue
