// korvel.algorithm.identify: pair models fitted to plant-test records.
//
// The core (korvel/identify.hpp) simulates candidate models, their residuals
// and Jacobian and searches the dead times; SciPy's least_squares moves the
// continuous parameters. The reported prediction runs the fitted entries the
// way MIMOSim runs them (SciPy's c2d, the core's IIR step, the MISO sum), so
// a simulator built from the result reproduces it.
#include <korvel/identify.hpp>
#include <korvel/models.hpp>

#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "docstrings/identify.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/scipy.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
namespace id = korvel::identify;

namespace {

// Whether o is a collections.abc.Mapping (a list's subscripts are not tags).
bool is_mapping(nb::handle o) {
    static PyObject* abc = nullptr;
    if (!abc) abc = import_attr("collections.abc", "Mapping").release().ptr();
    const int r = PyObject_IsInstance(o.ptr(), abc);
    if (r < 0) raise();
    return r != 0;
}

// The text of a str, the value of a number, with Python's errors.
std::string text_of(nb::handle o) {
    Py_ssize_t n = 0;
    const char* p = PyUnicode_AsUTF8AndSize(o.ptr(), &n);
    if (!p) raise();
    return std::string(p, static_cast<std::size_t>(n));
}

double real_of(nb::handle o) {
    double v;
    if (!to_double(o.ptr(), v)) raise();
    return v;
}

const Signature sig_fit_pair("fit_pair",
                             {object("u"), object("y"), object("Ts"), text("kind", "'fopdt'"),
                              opt_real("u0"), opt_real("y0"), object("delay", "None"),
                              object("max_delay", "None"), object("length", "None")},
                             false);
const Signature sig_fit_process("fit_process",
                                {object("records"), object("cv_tags"), object("mv_tags"),
                                 object("Ts"), object("kinds", "'fopdt'"),
                                 object("ini_values", "None"), object("max_delay", "None"),
                                 object("length", "None")},
                                false);

// --- arguments -------------------------------------------------------------

// None, or an exact int >= 0.
std::optional<std::size_t> count_arg(nb::handle o, const char* name) {
    if (o.is_none()) return std::nullopt;
    long long v;
    if (!exact_int(o.ptr(), name, v)) raise();
    if (v < 0) raise_format(PyExc_ValueError, "%s must not be negative", name);
    return static_cast<std::size_t>(v);
}

double period(nb::handle Ts) {
    double t;
    if (!to_double(Ts.ptr(), t)) raise();
    if (!(t > 0.0) || !std::isfinite(t)) raise_format(PyExc_ValueError, "Ts must be positive");
    return t;
}

std::vector<double> record(nb::handle o, const char* name) {
    std::vector<double> v = doubles(o, name);
    for (double x : v)
        if (!std::isfinite(x))
            raise_format(PyExc_ValueError, "%s has values that are not finite", name);
    return v;
}

// --- one CV fitted from its MVs ----------------------------------------------

struct PairIn {
    std::string tag;
    bool none = false; // no model for this pair
    id::Kind kind = id::Kind::fopdt;
    std::optional<std::size_t> delay;  // fixed, or searched
    std::optional<std::size_t> length; // stp: the whole table, or from a first-order fit
    std::vector<double> u;
    double u0 = 0.0;
};

struct PairOut {
    id::Kind kind = id::Kind::fopdt;
    std::size_t delay = 0;
    std::vector<double> x, se; // optimiser entries and their standard errors
};

struct CvOut {
    std::vector<PairOut> pairs; // one per model, in order
    std::vector<double> prediction;
    double r2 = 0.0, sigma = 0.0;
};

nb::object vector_array(const std::vector<double>& v) {
    return f64_array(v);
}

// scipy.optimize.least_squares (Levenberg-Marquardt) over the core's
// residuals and Jacobian.
double scipy_minimise(const id::Problem& pb, std::vector<double>& x) {
    static PyObject* fn = nullptr;
    if (!fn) fn = import_attr("scipy.optimize", "least_squares").release().ptr();
    const id::Problem* p = &pb;
    nb::object fun = nb::cpp_function([p](nb::handle xv) {
        const std::vector<double> v = doubles(xv, "x");
        double* out;
        nb::object r = np::new_f64(p->samples(), out);
        p->residuals(v, out);
        return r;
    });
    nb::object jac = nb::cpp_function([p](nb::handle xv) {
        const std::vector<double> v = doubles(xv, "x");
        double* out;
        nb::object J = np::new_f64(p->samples() * p->params(), out);
        p->jacobian(v, out);
        return J.attr("reshape")(p->samples(), p->params());
    });
    nb::object res =
        nb::handle(fn)(fun, vector_array(x), nb::arg("jac") = jac, nb::arg("method") = "lm",
                       nb::arg("xtol") = 1e-10, nb::arg("ftol") = 1e-10);
    x = doubles(res.attr("x"), "x");
    return 2.0 * real_of(res.attr("cost"));
}

// The model entry of a fitted pair.
nb::dict entry_of(const PairOut& p, nb::handle Ts) {
    nb::dict e;
    if (p.kind == id::Kind::stp) {
        nb::list table;
        for (std::size_t i = 0; i < p.delay; ++i)
            table.append(0.0);
        for (double v : p.x)
            table.append(v);
        e["mode"] = "stp";
        e["stp"] = table;
        return e;
    }
    nb::list num, den;
    num.append(p.x[0]);
    if (p.kind == id::Kind::fopdt) {
        den.append(id::time_constant(p.x[1]));
    } else if (p.kind == id::Kind::sopdt) {
        const double t1 = id::time_constant(p.x[1]), t2 = id::time_constant(p.x[2]);
        den.append(t1 * t2);
        den.append(t1 + t2);
    }
    den.append(1.0);
    e["mode"] = "tf_s";
    e["num_s"] = num;
    e["den_s"] = den;
    e["iodelay_s"] = nb::int_(p.delay) * nb::borrow(Ts);
    e["IntegralMark"] = p.kind == id::Kind::ipdt ? 1 : 0;
    return e;
}

// The pair as MIMOSim builds it from its entry.
korvel::PairSpec spec_of(const nb::dict& e) {
    if (text_of(e["mode"]) == "stp") return korvel::PairSpec::stp(doubles(e["stp"], "stp"));
    return korvel::PairSpec::tf_s(doubles(e["num_s"], "num_s"), doubles(e["den_s"], "den_s"), 0.0,
                                  truth(e["IntegralMark"]));
}

// Default step-table lengths: the dead time and five time constants of a
// first-order fit, at least two samples and at most half the record.
void table_lengths(std::vector<PairIn>& in, const std::vector<double>& dy, double Ts,
                   std::size_t max_delay) {
    id::Problem pb(dy, Ts);
    std::vector<bool> search;
    std::vector<std::size_t> which;
    for (std::size_t j = 0; j < in.size(); ++j) {
        if (in[j].none) continue;
        id::Pair p{id::Kind::fopdt, 0, 0, {}};
        p.du.resize(dy.size());
        for (std::size_t k = 0; k < dy.size(); ++k)
            p.du[k] = in[j].u[k] - in[j].u0;
        pb.add(std::move(p));
        search.push_back(true);
        which.push_back(j);
    }
    const id::Fit f = id::fit(pb, search, max_delay, scipy_minimise);
    for (std::size_t i = 0; i < which.size(); ++i) {
        PairIn& p = in[which[i]];
        if (p.kind != id::Kind::stp || p.length) continue;
        const double tau = id::time_constant(f.x[pb.offset(i) + 1]);
        const double settle = std::ceil(std::min(5.0 * tau / Ts, 0.5 * double(dy.size())));
        const std::size_t L = pb.pairs()[i].delay + static_cast<std::size_t>(settle) + 1;
        p.length = std::clamp<std::size_t>(L, 2, dy.size() / 2);
    }
}

// Standard errors: var * (J^T J)^-1 at the optimum, through NumPy's
// pseudo-inverse; time constants back from their logarithms.
void standard_errors(const id::Problem& pb, const std::vector<double>& x, double var, CvOut& out) {
    const std::size_t n = pb.samples(), m = pb.params();
    std::vector<double> J(n * m), jtj(m * m, 0.0);
    pb.jacobian(x, J.data());
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t a = 0; a < m; ++a)
            for (std::size_t b = 0; b <= a; ++b)
                jtj[a * m + b] += J[k * m + a] * J[k * m + b];
    for (std::size_t a = 0; a < m; ++a)
        for (std::size_t b = 0; b < a; ++b)
            jtj[b * m + a] = jtj[a * m + b];
    static PyObject* pinv = nullptr;
    if (!pinv) pinv = import_attr("numpy.linalg", "pinv").release().ptr();
    nb::object cov = nb::handle(pinv)(vector_array(jtj).attr("reshape")(m, m));
    const std::vector<double> c = doubles(cov.attr("ravel")(), "covariance");
    for (std::size_t j = 0; j < out.pairs.size(); ++j) {
        PairOut& p = out.pairs[j];
        const std::size_t at = pb.offset(j);
        for (std::size_t i = 0; i < p.x.size(); ++i) {
            double se = std::sqrt(std::max(var * c[(at + i) * m + at + i], 0.0));
            if (id::parametric(p.kind) && i > 0) se *= id::time_constant(p.x[i]);
            p.se.push_back(se);
        }
    }
}

CvOut fit_cv(const std::vector<double>& y, double y0, std::vector<PairIn>& in, nb::handle Ts_obj,
             std::size_t max_delay) {
    const double Ts = period(Ts_obj);
    const std::size_t n = y.size();
    std::vector<double> dy(n);
    for (std::size_t k = 0; k < n; ++k)
        dy[k] = y[k] - y0;
    bool moves = false;
    for (double v : dy)
        moves = moves || v != dy[0];
    if (!moves) raise_format(PyExc_ValueError, "the CV never moves: there is nothing to fit");
    for (const PairIn& p : in) {
        if (p.none) continue;
        bool moved = false;
        for (double v : p.u)
            moved = moved || v != p.u0;
        if (!moved)
            raise_format(PyExc_ValueError, "%s never leaves its initial value: nothing to identify",
                         p.tag.c_str());
    }
    bool need_lengths = false;
    for (const PairIn& p : in)
        need_lengths = need_lengths || (!p.none && p.kind == id::Kind::stp && !p.length);
    if (need_lengths) table_lengths(in, dy, Ts, max_delay);

    id::Problem pb(dy, Ts);
    std::vector<bool> search;
    for (const PairIn& p : in) {
        if (p.none) continue;
        id::Pair q{p.kind, 0, p.delay.value_or(0), std::vector<double>(n)};
        for (std::size_t k = 0; k < n; ++k)
            q.du[k] = p.u[k] - p.u0;
        if (p.kind == id::Kind::stp) {
            const std::size_t L = *p.length;
            if (L <= q.delay)
                raise_format(PyExc_ValueError, "the step table of %s must be longer than its delay",
                             p.tag.c_str());
            q.length = L - q.delay;
        }
        pb.add(std::move(q));
        search.push_back(!p.delay && p.kind != id::Kind::stp);
    }
    const std::size_t m = pb.params();
    if (m > 0 && n < m + 2)
        raise_format(PyExc_ValueError, "%zu samples cannot fit %zu parameters", n, m);
    const id::Fit f = m == 0 ? id::Fit{{}, 0.0} : id::fit(pb, search, max_delay, scipy_minimise);

    CvOut out;
    for (std::size_t j = 0; j < pb.pairs().size(); ++j) {
        const id::Pair& p = pb.pairs()[j];
        const auto at = f.x.begin() + static_cast<std::ptrdiff_t>(pb.offset(j));
        out.pairs.push_back({p.kind, p.delay, std::vector<double>(at, at + p.params()), {}});
    }

    // The prediction as MIMOSim computes it: each model stepped over its MV's
    // deviations, summed from 0.0 in MV order, the disturbance (0.0) and the
    // initial value added.
    std::vector<std::vector<double>> outputs;
    for (std::size_t j = 0, i = 0; j < in.size(); ++j) {
        if (in[j].none) continue;
        nb::dict e = entry_of(out.pairs[i++], Ts_obj);
        nb::object delay = e.contains("iodelay_s") ? nb::object(e["iodelay_s"]) : nb::int_(0);
        korvel::BuiltPair built = korvel::build_pair(spec_of(e), Ts, scipy_c2d(delay, Ts_obj));
        korvel::TfModel& model = *built.model;
        std::vector<double> o(n);
        for (std::size_t k = 0; k < n; ++k)
            o[k] = model.step(in[j].u[k] - in[j].u0);
        outputs.push_back(std::move(o));
    }
    out.prediction.resize(n);
    double ssr = 0.0, mean = 0.0, sst = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        double s = 0.0;
        for (const auto& o : outputs)
            s += o[k];
        out.prediction[k] = (s + 0.0) + y0;
        const double r = y[k] - out.prediction[k];
        ssr += r * r;
        mean += dy[k];
    }
    mean /= double(n);
    for (double v : dy)
        sst += (v - mean) * (v - mean);
    out.r2 = 1.0 - ssr / sst;
    const double var = ssr / double(n - m);
    out.sigma = std::sqrt(var);

    if (m > 0) standard_errors(pb, f.x, var, out);
    return out;
}

// {"kind", "params", "stderr", "delay", "entry"} of one fitted pair.
nb::dict pair_result(PairOut p, nb::handle Ts) {
    // Time constants largest first.
    if (p.kind == id::Kind::sopdt && p.x[2] > p.x[1]) {
        std::swap(p.x[1], p.x[2]);
        std::swap(p.se[1], p.se[2]);
    }
    nb::dict params, stderr_;
    if (p.kind == id::Kind::stp) {
        nb::list table = nb::borrow<nb::list>(entry_of(p, Ts)["stp"]), se;
        for (std::size_t i = 0; i < p.delay; ++i)
            se.append(0.0);
        for (double v : p.se)
            se.append(v);
        params["stp"] = table;
        stderr_["stp"] = se;
    } else {
        static const char* const names[3][3] = {
            {"gain", "tau", nullptr}, {"gain", "tau1", "tau2"}, {"gain", nullptr, nullptr}};
        const auto& row = names[static_cast<int>(p.kind)];
        for (std::size_t i = 0; i < p.x.size(); ++i) {
            params[row[i]] = i == 0 ? p.x[0] : id::time_constant(p.x[i]);
            stderr_[row[i]] = p.se[i];
        }
    }
    params["dead_time"] = nb::int_(p.delay) * nb::borrow(Ts);
    nb::dict d;
    d["kind"] = id::kind_name(p.kind);
    d["params"] = params;
    d["stderr"] = stderr_;
    d["delay"] = p.delay;
    d["entry"] = entry_of(p, Ts);
    return d;
}

std::size_t default_max_delay(std::optional<std::size_t> given, std::size_t n) {
    const std::size_t d = given.value_or(n / 10);
    if (n > 0 && d >= n)
        raise_format(PyExc_ValueError, "max_delay must be below the record length");
    return d;
}

// --- fit_pair --------------------------------------------------------------------

nb::object fit_pair(const Args& a) {
    PairIn p;
    p.tag = std::string("u"); // the literal itself trips GCC 12's -Wrestrict under the sanitizers
    p.u = record(a.obj(0), "u");
    const std::vector<double> y = record(a.obj(1), "y");
    period(a.obj(2));
    p.kind = id::kind_of(text_of(nb::handle(a.obj(3))));
    p.delay = count_arg(a.obj(6), "delay");
    const std::optional<std::size_t> max_delay = count_arg(a.obj(7), "max_delay");
    p.length = count_arg(a.obj(8), "length");
    if (p.u.size() != y.size()) raise_format(PyExc_ValueError, "u and y must have the same length");
    if (y.size() < 4) raise_format(PyExc_ValueError, "the records are too short to fit");
    p.u0 = a.opt(4).value_or(p.u[0]);
    const double y0 = a.opt(5).value_or(y[0]);
    std::vector<PairIn> in{std::move(p)};
    const CvOut cv = fit_cv(y, y0, in, a.obj(2), default_max_delay(max_delay, y.size()));
    nb::dict d = pair_result(cv.pairs[0], a.obj(2));
    d["r2"] = cv.r2;
    d["sigma"] = cv.sigma;
    d["prediction"] = vector_array(cv.prediction);
    d["u0"] = in[0].u0;
    d["y0"] = y0;
    return d;
}

// --- fit_process -----------------------------------------------------------------

std::vector<nb::object> tags(nb::handle seq, const char* name) {
    std::vector<nb::object> out;
    for (nb::handle t : nb::iter(seq)) {
        if (!PyUnicode_Check(t.ptr())) raise_format(PyExc_TypeError, "%s must hold str tags", name);
        out.push_back(nb::borrow(t));
    }
    return out;
}

nb::object lookup(nb::handle mapping, nb::handle key, const char* what) {
    PyObject* v = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_KeyError)) {
            PyErr_Clear();
            raise_format(PyExc_KeyError, "%s has no entry for %R", what, key.ptr());
        }
        raise();
    }
    return nb::steal(v);
}

// The kind of pair (cv, mv): one text for every pair, or a mapping CV -> MV ->
// kind where a missing pair, or "none", has no model.
std::string pair_kind(nb::handle kinds, nb::handle cv, nb::handle mv) {
    if (PyUnicode_Check(kinds.ptr())) return text_of(kinds);
    if (!is_mapping(kinds.ptr()))
        raise_format(PyExc_TypeError, "kinds must be a str or a mapping of CV tags");
    if (!PyMapping_HasKey(kinds.ptr(), cv.ptr())) return "none";
    nb::object row = lookup(kinds, cv, "kinds");
    if (PyUnicode_Check(row.ptr())) return text_of(row);
    if (!PyMapping_HasKey(row.ptr(), mv.ptr())) return "none";
    nb::object k = lookup(row, mv, "kinds");
    if (!PyUnicode_Check(k.ptr())) raise_format(PyExc_TypeError, "a kind must be a str");
    return text_of(k);
}

nb::object fit_process(const Args& a) {
    nb::handle records = a.obj(0), Ts = a.obj(3), kinds = a.obj(4), ini = a.obj(5);
    const std::vector<nb::object> cvs = tags(a.obj(1), "cv_tags"), mvs = tags(a.obj(2), "mv_tags");
    period(Ts);
    const std::optional<std::size_t> max_delay = count_arg(a.obj(6), "max_delay");
    const std::optional<std::size_t> length = count_arg(a.obj(7), "length");
    if (!is_mapping(records.ptr())) raise_format(PyExc_TypeError, "records must be a mapping");
    if (!ini.is_none() && !is_mapping(ini.ptr()))
        raise_format(PyExc_TypeError, "ini_values must be a mapping or None");

    std::optional<std::size_t> n;
    const auto series = [&](nb::handle tag) {
        const std::string name = text_of(tag);
        std::vector<double> v = record(lookup(records, tag, "records"), name.c_str());
        if (n && v.size() != *n) raise_format(PyExc_ValueError, "the records differ in length");
        if (v.size() < 4) raise_format(PyExc_ValueError, "the records are too short to fit");
        n = v.size();
        double v0 = v[0];
        if (!ini.is_none() && PyMapping_HasKey(ini.ptr(), tag.ptr()))
            v0 = real_of(lookup(ini, tag, "ini_values"));
        return std::pair{std::move(v), v0};
    };
    std::vector<std::pair<std::vector<double>, double>> mv_data;
    for (const nb::object& mv : mvs)
        mv_data.push_back(series(mv));

    nb::dict model_dict, ini_values, fits;
    for (const nb::object& cv : cvs) {
        auto [y, y0] = series(cv);
        ini_values[cv] = y0;
        std::vector<PairIn> in;
        for (std::size_t j = 0; j < mvs.size(); ++j) {
            PairIn p;
            p.tag = text_of(mvs[j]);
            const std::string k = pair_kind(kinds, cv, mvs[j]);
            p.none = k == "none";
            if (!p.none) p.kind = id::kind_of(k);
            p.length = length;
            p.u = mv_data[j].first;
            p.u0 = mv_data[j].second;
            in.push_back(std::move(p));
        }
        const CvOut out = fit_cv(y, y0, in, Ts, default_max_delay(max_delay, *n));
        nb::dict row, pairs;
        for (std::size_t j = 0, i = 0; j < mvs.size(); ++j) {
            if (in[j].none) {
                nb::dict none;
                none["mode"] = "None";
                row[mvs[j]] = none;
                continue;
            }
            nb::dict r = pair_result(out.pairs[i++], Ts);
            row[mvs[j]] = r["entry"];
            pairs[mvs[j]] = r;
        }
        model_dict[cv] = row;
        nb::dict f;
        f["r2"] = out.r2;
        f["sigma"] = out.sigma;
        f["prediction"] = vector_array(out.prediction);
        f["pairs"] = pairs;
        fits[cv] = f;
    }
    for (std::size_t j = 0; j < mvs.size(); ++j)
        ini_values[mvs[j]] = mv_data[j].second;
    nb::dict d;
    d["model_dict"] = model_dict;
    d["ini_values"] = ini_values;
    d["fits"] = fits;
    return d;
}

} // namespace

NB_MODULE(identify, m) {
    namespace doc = korvel::docstrings::identify;
    m.doc() = doc::module;
    if (!np::init()) throw nb::python_error();
    PyMethodDef* functions = methods({
        function<sig_fit_pair, fit_pair>(doc::fit_pair),
        function<sig_fit_process, fit_process>(doc::fit_process),
    });
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
