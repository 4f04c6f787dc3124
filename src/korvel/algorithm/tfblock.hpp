// The C++ side of korvel.algorithm.tfblock's zFilter and sFilter, shared with
// modules that step an sFilter they own without a Python call:
//
//     if (PyObject_TypeCheck(obj, sfilter_type))
//         y = nb::inst_ptr<korvel::tfblock::PySFilter>(obj)->step(u, 0.0);
//
// step() throws (nb::python_error or a std::exception that pyglue::guard
// translates) and must run inside guard(). Keep the layout of both structs
// stable: other extension modules compile against it.
#pragma once

#include <korvel/iir.hpp>

#include <utility>

#include "pyglue/glue.hpp"
#include "pyglue/pycall.hpp"

namespace korvel::tfblock {

namespace nb = nanobind;

// zFilter: Bz(z^-1)/Az(z^-1) in deviation form around (u_ini, y_ini).
struct PyZFilter {
    vectorcallfunc call = nullptr; // the call operation's entry (pyglue/vectorcall.hpp)
    Iir iir;
    nb::object Bz, Az;       // fields _Bz, _Az: float64 arrays as constructed
    nb::object zi;           // field _zi: float64 array of iir.state_size() items
    double* z = nullptr;     // zi's data, stepped in place
    nb::object u_ini, y_ini; // fields _u_ini, _y_ini: None until set
    double u0 = 0.0, y0 = 0.0;

    PyZFilter(Iir f, nb::object b, nb::object a, nb::object state, double* data, nb::object u,
              double uv, nb::object y, double yv)
        : iir(std::move(f)), Bz(std::move(b)), Az(std::move(a)), zi(std::move(state)), z(data),
          u_ini(std::move(u)), y_ini(std::move(y)), u0(uv), y0(yv) {}

    // The state, ready to be stepped in place. Whoever else holds the array
    // (a caller that saved `_zi`) keeps the values it saw: the filter moves
    // to a copy first, as if every step made a new state array.
    double* state() {
        if (Py_REFCNT(zi.ptr()) > 1) {
            double* data;
            nb::object fresh = pyglue::new_f64(iir.state_size(), data);
            for (std::size_t i = 0; i < iir.state_size(); ++i)
                data[i] = z[i];
            zi = std::move(fresh);
            z = data;
        }
        return z;
    }

    // Adopts the operating point a first call supplies.
    void adopt(double ut, double y_ini_arg) {
        if (u_ini.is_none()) {
            u_ini = nb::float_(ut);
            u0 = ut;
        }
        if (y_ini.is_none()) {
            y_ini = nb::float_(y_ini_arg);
            y0 = y_ini_arg;
        }
    }

    // One sample: the call operation after its arguments are converted.
    double step(double ut, double y_ini_arg) {
        adopt(ut, y_ini_arg);
        iir.check();
        return iir.step(ut - u0, state()) + y0;
    }
};

// sFilter: Bs(s)/As(s), discretised once; its zFilter does the work.
struct PySFilter {
    vectorcallfunc call = nullptr; // the call operation's entry (pyglue/vectorcall.hpp)
    nb::object Bs, As, Ts;         // fields _Bs, _As, _Ts
    nb::object zfilter;            // field _zfilter: the zFilter it owns
    PyZFilter* zp = nullptr;       // the C++ side of zfilter

    PySFilter(nb::object b, nb::object a, nb::object ts, nb::object z)
        : Bs(std::move(b)), As(std::move(a)), Ts(std::move(ts)) {
        own(std::move(z));
    }
    // Takes a constructed zFilter as the filter doing the work.
    void own(nb::object z) {
        zp = nb::inst_ptr<PyZFilter>(z);
        zfilter = std::move(z);
    }

    PyZFilter& zf() const noexcept { return *zp; }
    double step(double ut, double y_ini_arg) { return zp->step(ut, y_ini_arg); }
};

} // namespace korvel::tfblock
