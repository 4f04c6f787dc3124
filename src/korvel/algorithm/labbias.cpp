// korvel.algorithm.labbias: soft-sensor bias correction from laboratory
// samples, and the recorder that appends new laboratory samples to a CSV file.
//
// Histories read as fresh collections.deque snapshots (with the history's
// maxlen), oldest first; changing a snapshot does not change the block.
#include <korvel/append.hpp>
#include <korvel/labbias.hpp>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "algorithm/tfblock.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/format.hpp"
#include "pyglue/glue.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::BiasUpdate;
using korvel::LabHistory;
using korvel::Ring;

namespace {

// Imported once at module initialisation and kept for the life of the
// process.
struct Imports {
    PyObject* sfilter;            // korvel.algorithm.tfblock.sFilter
    PyTypeObject* native_sfilter; // the same, when it is the bound PySFilter type
    PyObject* deque;              // collections.deque
    PyObject* path;               // pathlib.Path
    PyObject* fsencode;           // os.fsencode
    PyObject* localtime;          // time.localtime
    PyObject* strftime;           // time.strftime
    PyObject* time_format;
    PyObject* default_name;
    PyObject* default_dir;
} py;

constexpr const char* csv_suffix = "_Raw_LabData.csv";
constexpr const char* csv_header = "ExportTime,LabTime,LabData\n";

// ---------------------------------------------------------------- helpers

// A deque capacity from a length argument, with deque's own messages.
bool capacity_of(long long len, long long extra, std::size_t& out) {
    if (len < -extra) {
        PyErr_SetString(PyExc_ValueError, "maxlen must be non-negative");
        return false;
    }
    const unsigned long long cap = static_cast<unsigned long long>(len) + extra;
    if (cap > static_cast<unsigned long long>(PY_SSIZE_T_MAX)) {
        PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C ssize_t");
        return false;
    }
    out = static_cast<std::size_t>(cap);
    return true;
}

// Ring allocation failures are memory errors whatever the library calls them.
template <class F> auto allocating(F&& f) {
    try {
        return f();
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

nb::object snapshot(const Ring<double>& r, std::size_t maxlen) {
    nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(r.size())));
    if (!list) throw nb::python_error();
    for (std::size_t i = 0; i < r.size(); ++i) {
        PyObject* v = PyFloat_FromDouble(r[i]);
        if (!v) throw nb::python_error();
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), v);
    }
    return nb::handle(py.deque)(list, maxlen);
}

// Histories in state tuples: little-endian float64 bytes.
nb::bytes pack(const Ring<double>& r) {
    std::string b(r.size() * 8, '\0');
    for (std::size_t i = 0; i < r.size(); ++i) {
        std::uint64_t u = std::bit_cast<std::uint64_t>(r[i]);
        for (int k = 0; k < 8; ++k)
            b[i * 8 + k] = static_cast<char>(u >> (8 * k) & 0xff);
    }
    return nb::bytes(b.data(), b.size());
}

std::vector<double> unpack(const nb::bytes& b, std::size_t capacity) {
    const auto* p = static_cast<const unsigned char*>(b.data());
    if (b.size() % 8 != 0 || b.size() / 8 > capacity)
        throw nb::value_error("invalid history state");
    std::vector<double> v(b.size() / 8);
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::uint64_t u = 0;
        for (int k = 0; k < 8; ++k)
            u |= std::uint64_t{p[i * 8 + k]} << (8 * k);
        v[i] = std::bit_cast<double>(u);
    }
    return v;
}

// "<name><tail>" as an exception or as a printed line.
bool raise_named(PyObject* type, PyObject* name, const char* tail) {
    PyErr_Format(type, "%U%s", name, tail);
    return false;
}

bool print_named(PyObject* name, const char* tail) {
    PyObject* line = PyUnicode_FromFormat("%U%s", name, tail);
    if (!line) return false;
    const bool ok = print_line(line);
    Py_DECREF(line);
    return ok;
}

bool check_finite(double v, PyObject* name, const char* tail) {
    return std::isfinite(v) || raise_named(PyExc_ValueError, name, tail);
}

// None (left empty) or exactly a float.
bool optional_float(PyObject* o, const char* arg, std::optional<double>& out) {
    if (!o || o == Py_None) return true;
    if (!exact_type(o, &PyFloat_Type, arg)) return false;
    out = PyFloat_AS_DOUBLE(o);
    return true;
}

bool exact_int_or(PyObject* o, const char* arg, long long fallback, long long& out) {
    if (!o) {
        out = fallback;
        return true;
    }
    return exact_int(o, arg, out);
}

// ---------------------------------------------------------------- SoftSensorBiasUpdate

struct PyBias {
    BiasUpdate core;
    nb::object name; // str
    nb::object fil;  // the bias filter: an sFilter, None, or whatever a caller stored

    template <class F> void for_each_object(F&& f) { f(fil); }
};

const Signature sig_bias_init("__init__",
                              {"name", "filter_tao", "abs_threshold", "prd_len", "const_len"}, 0);
const Signature sig_bias_run("run",
                             {"prd_data", "lab_data", "lab_time", "prd_time", "update_trigger"}, 3);
const Signature sig_update_bias("_update_bias", {"lab_data", "lab_time"}, 2);
const Signature sig_get_name("get_name", {}, 0);
const Signature sig_get_lab_data("get_lab_data", {}, 0);
const Signature sig_get_lab_time("get_lab_time", {}, 0);
const Signature sig_get_prd_at("get_prd_data_at_labtime", {}, 0);
const Signature sig_get_flag("get_update_flag", {}, 0);
const Signature sig_get_bias("get_bias", {}, 0);

int bias_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[5];
    double filter_tao, abs_threshold;
    long long prd_len, const_len;
    std::size_t prd_cap, lab_cap;
    if (!sig_bias_init.bind(args, kwargs, a) ||
        (a[0] && !exact_type(a[0], &PyUnicode_Type, "name")) || !to_double(a[1], filter_tao, 5.0) ||
        !to_double(a[2], abs_threshold, 1e-6) || !exact_int_or(a[3], "prd_len", 28800, prd_len) ||
        !exact_int_or(a[4], "const_len", 60, const_len) || !capacity_of(prd_len, 1, prd_cap) ||
        !capacity_of(const_len, 2, lab_cap))
        return -1;
    return guard_int([&] {
        nb::object name = nb::borrow(a[0] ? a[0] : py.default_name);
        nb::object fil = nb::none();
        if (filter_tao > 0) {
            // 1 / (filter_tao s + 1), one sampling period per run call, at rest.
            nb::list num, den;
            num.append(1);
            den.append(filter_tao);
            den.append(1);
            fil = nb::handle(py.sfilter)(num, den, nb::arg("u_ini") = 0.0, nb::arg("y_ini") = 0.0);
        }
        emplace<PyBias>(self, PyBias{BiasUpdate(abs_threshold, prd_cap, lab_cap), std::move(name),
                                     std::move(fil)});
        return 0;
    });
}

// The filtered bias: the bias filter stepped once with the current bias.
PyObject* filtered(PyBias& p) {
    const nb::object fil = p.fil; // the call may replace the field
    const double bias = p.core.bias();
    if (Py_IS_TYPE(fil.ptr(), py.native_sfilter) && nb::inst_ready(fil))
        return to_py(nb::inst_ptr<korvel::tfblock::PySFilter>(fil)->step(bias, 0.0));
    const int use = PyObject_IsTrue(fil.ptr());
    if (use < 0) return nullptr;
    if (!use) return to_py(bias);
    PyObject* b = to_py(bias);
    if (!b) return nullptr;
    PyObject* out = PyObject_CallOneArg(fil.ptr(), b);
    Py_DECREF(b);
    return out;
}

bool report(PyBias& p, BiasUpdate::Attempt attempt) {
    return attempt != BiasUpdate::Attempt::unchanged ||
           print_named(p.name.ptr(),
                       ": Bias Update is not triggered, lab_data or lab_time is unchanged.");
}

PyObject* bias_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    double prd_data, lab_data, lab_time;
    std::optional<double> prd_time, trigger;
    PyBias* p = self_of<PyBias>(self);
    if (!p || !sig_bias_run.bind(args, nargs, kwnames, a) || !to_double(a[0], prd_data) ||
        !to_double(a[1], lab_data) || !to_double(a[2], lab_time) ||
        !optional_float(a[3], "prd_time", prd_time) ||
        !optional_float(a[4], "update_trigger", trigger))
        return nullptr;
    PyObject* name = p->name.ptr();
    if (!check_finite(prd_data, name, " Bias Update: prd_data is not finite!") ||
        !check_finite(lab_data, name, " Bias Update: lab_data is not finite!") ||
        !check_finite(lab_time, name, " Bias Update: lab_time is not finite!") ||
        (prd_time && !check_finite(*prd_time, name, " Bias Update: prd_time is not finite!")) ||
        (trigger && !check_finite(*trigger, name, " Bias Update: update_trigger is not finite!")))
        return nullptr;
    if (!prd_time) {
        PyTime_t now;
        if (PyTime_Time(&now) < 0) return nullptr;
        prd_time = PyTime_AsSecondsDouble(now);
    }
    return guard([&]() -> PyObject* {
        const auto step = allocating(
            [&] { return p->core.run(prd_data, lab_data, lab_time, *prd_time, trigger); });
        // Printing runs sys.stdout's code, which may rename the block.
        if (!report(*p, step.attempt) ||
            (step.first &&
             !print_named(p->name.ptr(), ": Bias Update is triggered by the first data.")))
            return nullptr;
        return filtered(*p);
    });
}

PyObject* bias_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    double lab_data, lab_time;
    PyBias* p = self_of<PyBias>(self);
    if (!p || !sig_update_bias.bind(args, nargs, kwnames, a) || !to_double(a[0], lab_data) ||
        !to_double(a[1], lab_time))
        return nullptr;
    return guard([&]() -> PyObject* {
        if (!report(*p, p->core.update_bias(lab_data, lab_time))) return nullptr;
        Py_RETURN_NONE;
    });
}

// A getter without arguments.
template <const Signature& S, class F>
PyObject* getter(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyBias* p = self_of<PyBias>(self);
    if (!p || !S.bind(args, nargs, kwnames, nullptr)) return nullptr;
    return F{}(*p);
}

struct GetName {
    PyObject* operator()(PyBias& p) const { return Py_NewRef(p.name.ptr()); }
};
struct GetLabData {
    PyObject* operator()(PyBias& p) const { return to_py(p.core.current_lab_data()); }
};
struct GetLabTime {
    PyObject* operator()(PyBias& p) const { return to_py(p.core.current_lab_time()); }
};
struct GetPrdAt {
    PyObject* operator()(PyBias& p) const { return to_py(p.core.prd_data_at_labtime()); }
};
struct GetFlag {
    PyObject* operator()(PyBias& p) const { return PyBool_FromLong(p.core.update_flag()); }
};
struct GetBias {
    PyObject* operator()(PyBias& p) const { return to_py(p.core.bias()); }
};

PyMethodDef bias_methods[] = {
    {"run", as_method(bias_run), fastcall_flags,
     "run($self, prd_data, lab_data, lab_time, prd_time=None, update_trigger=None)\n--\n\n"
     "One prediction sample; returns the bias, filtered when a filter exists."},
    {"get_name", as_method(getter<sig_get_name, GetName>), fastcall_flags,
     "get_name($self)\n--\n\nThe block name."},
    {"get_lab_data", as_method(getter<sig_get_lab_data, GetLabData>), fastcall_flags,
     "get_lab_data($self)\n--\n\nLaboratory value of the last accepted update."},
    {"get_lab_time", as_method(getter<sig_get_lab_time, GetLabTime>), fastcall_flags,
     "get_lab_time($self)\n--\n\nLaboratory time of the last accepted update."},
    {"get_prd_data_at_labtime", as_method(getter<sig_get_prd_at, GetPrdAt>), fastcall_flags,
     "get_prd_data_at_labtime($self)\n--\n\nPrediction the last accepted update used."},
    {"get_update_flag", as_method(getter<sig_get_flag, GetFlag>), fastcall_flags,
     "get_update_flag($self)\n--\n\nWhether the latest run updated the bias."},
    {"get_bias", as_method(getter<sig_get_bias, GetBias>), fastcall_flags,
     "get_bias($self)\n--\n\nThe unfiltered bias."},
    {"_update_bias", as_method(bias_update), fastcall_flags,
     "_update_bias($self, lab_data, lab_time)\n--\n\nOne bias update attempt."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot bias_slots[] = {{Py_tp_init, reinterpret_cast<void*>(bias_init)},
                            {Py_tp_methods, bias_methods},
                            {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyBias>)},
                            {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyBias>)},
                            {0, nullptr}};

// ---------------------------------------------------------------- LabDataRecorder

struct PyRecorder {
    LabHistory lab;
    double abs_threshold;
    nb::object name;     // str
    nb::object csv_file; // a path

    template <class F> void for_each_object(F&& f) { f(csv_file); }
};

const Signature sig_rec_init("__init__", {"name", "abs_threshold", "const_len", "csv_dir"}, 0);
const Signature sig_rec_run("run", {"lab_data", "lab_time"}, 2);
const Signature sig_rec_export("export_lab_data_csv", {"lab_data", "lab_time"}, 2);

// A name with a path separator would put the file elsewhere than csv_dir (an
// absolute one anywhere at all), and a NUL would cut the name short.
bool plain_file_name(PyObject* name) {
    for (Py_UCS4 c : {Py_UCS4{'/'}, Py_UCS4{0}})
        if (PyUnicode_FindChar(name, c, 0, PY_SSIZE_T_MAX, 1) != -1) return false;
    return true;
}

int rec_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* a[4];
    double abs_threshold;
    long long const_len;
    std::size_t lab_cap;
    if (!sig_rec_init.bind(args, kwargs, a) ||
        (a[0] && !exact_type(a[0], &PyUnicode_Type, "name")) ||
        !to_double(a[1], abs_threshold, 1e-6) || !exact_int_or(a[2], "const_len", 60, const_len))
        return -1;
    PyObject* name = a[0] ? a[0] : py.default_name;
    if (!plain_file_name(name)) {
        raise_named(PyExc_ValueError, name,
                    " LabDataRecorder: name must not contain a path separator or a NUL "
                    "character!");
        return -1;
    }
    if (!capacity_of(const_len, 2, lab_cap)) return -1;
    return guard_int([&] {
        nb::object dir = nb::handle(py.path)(nb::handle(a[3] ? a[3] : py.default_dir));
        dir = dir.attr("resolve")();
        dir.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
        nb::object file_name = nb::steal(PyUnicode_FromFormat("%U%s", name, csv_suffix));
        if (!file_name) throw nb::python_error();
        nb::object csv_file = nb::steal(PyNumber_TrueDivide(dir.ptr(), file_name.ptr()));
        if (!csv_file) throw nb::python_error();
        emplace<PyRecorder>(self, PyRecorder{LabHistory(lab_cap), abs_threshold, nb::borrow(name),
                                             std::move(csv_file)});
        return 0;
    });
}

// "%Y-%m-%d %H:%M:%S" of time.localtime(seconds), or of the current time.
void append_local_time(std::string& out, PyObject* seconds) {
    nb::object t =
        seconds ? nb::handle(py.localtime)(nb::handle(seconds)) : nb::handle(py.localtime)();
    nb::object text = nb::handle(py.strftime)(nb::handle(py.time_format), t);
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!s) throw nb::python_error();
    out.append(s, static_cast<std::size_t>(n));
}

// The file existence test, then the append: 0 or an errno value.
int append_row(const std::string& path, const std::string& row) noexcept {
    try {
        return korvel::append_record(path, korvel::file_exists(path), csv_header, row);
    } catch (...) {
        return ENOMEM;
    }
}

// One CSV row appended; see korvel/append.hpp for how it reaches the file.
void export_row(PyRecorder& r, double lab_data, double lab_time) {
    std::string row;
    append_local_time(row, nullptr);
    row += ',';
    nb::object t = nb::steal(PyFloat_FromDouble(lab_time));
    if (!t) throw nb::python_error();
    append_local_time(row, t.ptr());
    row += ',';
    if (!append_float_repr(row, lab_data)) throw nb::python_error();
    row += '\n';

    nb::object file = r.csv_file; // a caller may replace the field while the GIL is released
    nb::object encoded = nb::handle(py.fsencode)(file);
    if (!PyBytes_Check(encoded.ptr())) throw nb::type_error("os.fsencode did not return bytes");
    const std::string path(PyBytes_AS_STRING(encoded.ptr()),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    if (path.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
    // Other threads run while the file is written and synced.
    PyThreadState* released = PyEval_SaveThread();
    const int err = append_row(path, row);
    PyEval_RestoreThread(released);
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.ptr());
        throw nb::python_error();
    }
}

bool two_numbers(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 double& x, double& y) {
    PyObject* a[2];
    return sig.bind(args, nargs, kwnames, a) && to_double(a[0], x) && to_double(a[1], y);
}

PyObject* rec_run(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    double lab_data, lab_time;
    PyRecorder* r = self_of<PyRecorder>(self);
    if (!r || !two_numbers(sig_rec_run, args, nargs, kwnames, lab_data, lab_time)) return nullptr;
    PyObject* name = r->name.ptr();
    if (!check_finite(lab_data, name, " LabDataRecorder: lab_data is not finite!") ||
        !check_finite(lab_time, name, " LabDataRecorder: lab_time is not finite!"))
        return nullptr;
    return guard([&]() -> PyObject* {
        allocating([&] { r->lab.record(lab_data); });
        if (!r->lab.new_result(r->abs_threshold)) Py_RETURN_FALSE;
        export_row(*r, lab_data, lab_time);
        Py_RETURN_TRUE;
    });
}

PyObject* rec_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    double lab_data, lab_time;
    PyRecorder* r = self_of<PyRecorder>(self);
    if (!r || !two_numbers(sig_rec_export, args, nargs, kwnames, lab_data, lab_time))
        return nullptr;
    return guard([&]() -> PyObject* {
        export_row(*r, lab_data, lab_time);
        Py_RETURN_NONE;
    });
}

PyMethodDef rec_methods[] = {
    {"run", as_method(rec_run), fastcall_flags,
     "run($self, lab_data, lab_time)\n--\n\nOne sample; True when a new result was recorded."},
    {"export_lab_data_csv", as_method(rec_export), fastcall_flags,
     "export_lab_data_csv($self, lab_data, lab_time)\n--\n\nAppends one row to the CSV file."},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot rec_slots[] = {{Py_tp_init, reinterpret_cast<void*>(rec_init)},
                           {Py_tp_methods, rec_methods},
                           {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyRecorder>)},
                           {Py_tp_clear, reinterpret_cast<void*>(clear_objects<PyRecorder>)},
                           {0, nullptr}};

// A module attribute held for the life of the process.
PyObject* kept(const char* module, const char* attr) {
    return import_attr(module, attr).release().ptr();
}

// Name fields hold a str: messages and file names are made from them.
template <class T, class Class> void def_name_field(Class& cls) {
    def_kind_field<T, &T::name>(cls, "_name", &PyUnicode_Type);
}

} // namespace

NB_MODULE(labbias, m) {
    m.doc() = "Soft-sensor bias correction from laboratory samples, and the laboratory-data "
              "recorder.";
    py.sfilter = kept("korvel.algorithm.tfblock", "sFilter");
    py.native_sfilter = nb::type_check(py.sfilter) &&
                                nb::type_info(py.sfilter) == typeid(korvel::tfblock::PySFilter)
                            ? reinterpret_cast<PyTypeObject*>(py.sfilter)
                            : nullptr;
    py.deque = kept("collections", "deque");
    py.path = kept("pathlib", "Path");
    py.fsencode = kept("os", "fsencode");
    py.localtime = kept("time", "localtime");
    py.strftime = kept("time", "strftime");
    py.time_format = PyUnicode_InternFromString("%Y-%m-%d %H:%M:%S");
    py.default_name = PyUnicode_InternFromString("softSensor");
    py.default_dir = PyUnicode_InternFromString("./");
    if (!py.time_format || !py.default_name || !py.default_dir) throw nb::python_error();

    nb::class_<PyBias> bias(m, "SoftSensorBiasUpdate", nb::type_slots(bias_slots),
                            "SoftSensorBiasUpdate(name='softSensor', filter_tao=5.0, "
                            "abs_threshold=1e-06, prd_len=28800, const_len=60)\n--\n\n"
                            "Bias of a soft sensor from laboratory samples; call run() once per "
                            "prediction.");
    def_name_field<PyBias>(bias);
    def_readonly<PyBias>(bias, "_prd_data_list", [](PyBias& p) {
        return snapshot(p.core.prd_data(), p.core.prd_capacity());
    });
    def_readonly<PyBias>(bias, "_prd_time_list", [](PyBias& p) {
        return snapshot(p.core.prd_time(), p.core.prd_capacity());
    });
    def_readonly<PyBias>(bias, "_lab_data_list", [](PyBias& p) {
        return snapshot(p.core.lab().values(), p.core.lab().capacity());
    });
    def_real<PyBias>(bias, "_bias", [](PyBias& p) -> double& { return p.core.bias_mut(); });
    def_real<PyBias>(bias, "_abs_threshold",
                     [](PyBias& p) -> double& { return p.core.abs_threshold_mut(); });
    def_flag<PyBias>(bias, "_update_flag",
                     [](PyBias& p) -> bool& { return p.core.update_flag_mut(); });
    def_real<PyBias>(bias, "_current_lab_data",
                     [](PyBias& p) -> double& { return p.core.current_lab_data_mut(); });
    def_real<PyBias>(bias, "_current_lab_time",
                     [](PyBias& p) -> double& { return p.core.current_lab_time_mut(); });
    def_real<PyBias>(bias, "_prd_data_at_labtime",
                     [](PyBias& p) -> double& { return p.core.prd_data_at_labtime_mut(); });
    def_object_field<PyBias, &PyBias::fil>(bias, "_fil");

    // State: name, capacities, threshold, results, histories, filter.
    def_pickle<PyBias>(
        bias, "SoftSensorBiasUpdate",
        [](PyBias& p) {
            const auto& c = p.core;
            return nb::make_tuple(p.name, c.prd_capacity(), c.lab().capacity(), c.abs_threshold(),
                                  c.bias(), c.update_flag(), c.current_lab_data(),
                                  c.current_lab_time(), c.prd_data_at_labtime(), pack(c.prd_data()),
                                  pack(c.prd_time()), pack(c.lab().values()), p.fil);
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 13) throw nb::value_error("invalid SoftSensorBiasUpdate state");
            const char* what = "SoftSensorBiasUpdate";
            auto name = state_as<nb::str>(s[0], what);
            const auto prd_cap = state_size(s[1], what), lab_cap = state_size(s[2], what);
            const auto prd_data = state_as<nb::bytes>(s[9], what),
                       prd_time = state_as<nb::bytes>(s[10], what),
                       lab_data = state_as<nb::bytes>(s[11], what);
            BiasUpdate core(state_double(s[3]), prd_cap, lab_cap);
            core.bias_mut() = state_double(s[4]);
            core.update_flag_mut() = state_bool(s[5]);
            core.current_lab_data_mut() = state_double(s[6]);
            core.current_lab_time_mut() = state_double(s[7]);
            core.prd_data_at_labtime_mut() = state_double(s[8]);
            allocating([&] {
                core.restore(unpack(prd_data, prd_cap), unpack(prd_time, prd_cap),
                             unpack(lab_data, lab_cap));
            });
            emplace<PyBias>(self.ptr(), PyBias{std::move(core), std::move(name), s[12]});
        });

    nb::class_<PyRecorder> rec(m, "LabDataRecorder", nb::type_slots(rec_slots),
                               "LabDataRecorder(name='softSensor', abs_threshold=1e-06, "
                               "const_len=60, csv_dir='./')\n--\n\nAppends each new laboratory "
                               "result to <csv_dir>/<name>_Raw_LabData.csv; call run() once per "
                               "sample.");
    def_name_field<PyRecorder>(rec);
    def_readonly<PyRecorder>(rec, "_lab_data_list", [](PyRecorder& r) {
        return snapshot(r.lab.values(), r.lab.capacity());
    });
    def_real<PyRecorder>(rec, "_abs_threshold",
                         [](PyRecorder& r) -> double& { return r.abs_threshold; });
    def_object_field<PyRecorder, &PyRecorder::csv_file>(rec, "_csv_file");

    // State: name, capacity, threshold, history, file.
    def_pickle<PyRecorder>(
        rec, "LabDataRecorder",
        [](PyRecorder& r) {
            return nb::make_tuple(r.name, r.lab.capacity(), r.abs_threshold, pack(r.lab.values()),
                                  r.csv_file);
        },
        [](nb::handle self, const nb::tuple& s) {
            if (s.size() != 5) throw nb::value_error("invalid LabDataRecorder state");
            const char* what = "LabDataRecorder";
            auto name = state_as<nb::str>(s[0], what);
            const auto cap = state_size(s[1], what);
            const double threshold = state_double(s[2]);
            const auto data = state_as<nb::bytes>(s[3], what);
            LabHistory lab(cap);
            allocating([&] { lab.restore(unpack(data, cap)); });
            emplace<PyRecorder>(self.ptr(),
                                PyRecorder{std::move(lab), threshold, std::move(name), s[4]});
        });
}
