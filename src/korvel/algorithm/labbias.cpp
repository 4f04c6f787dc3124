// korvel.algorithm.labbias: soft-sensor bias correction from laboratory
// samples, and the recorder that appends new laboratory samples to a CSV file.
//
// Histories read as fresh collections.deque snapshots (with the history's
// maxlen), oldest first; changing a snapshot does not change the block.
#include <korvel/append.hpp>
#include <korvel/labbias.hpp>

#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "docstrings/labbias.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/capi.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/history.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/pickling.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;
using korvel::BiasUpdate;
using korvel::LabHistory;
using korvel::Ring;
namespace doc = korvel::docstrings::labbias;

namespace {

// Imported once at module initialisation and kept for the life of the
// process.
struct Imports {
    PyObject* sfilter;         // korvel.algorithm.tfblock.sFilter
    const TfblockApi* filters; // its C interface
    PyObject* path;            // pathlib.Path
    PyObject* fsencode;        // os.fsencode
} py;

// ---------------------------------------------------------------- helpers

// "<name><tail>" as an exception or as a printed line.
[[noreturn]] void raise_named(PyObject* type, PyObject* name, const char* tail) {
    raise_format(type, "%U%s", name, tail);
}

void print_named(PyObject* name, const char* tail) {
    nb::object line = checked(PyUnicode_FromFormat("%U%s", name, tail));
    if (!print_line(line.ptr())) raise();
}

std::size_t capacity(const Args& a, std::size_t i, long long extra) {
    long long len;
    std::size_t cap;
    if (!a.longlong(i, len) || !capacity_of(len, extra, cap)) raise();
    return cap;
}

// ---------------------------------------------------------------- SoftSensorBiasUpdate

struct PyBias {
    BiasUpdate core;
    nb::object name; // str
    nb::object fil;  // the bias filter: an sFilter, None, or whatever a caller stored

    template <class F> void for_each_object(F&& f) {
        f(name);
        f(fil);
    }
};

// Breaks cycles through a name (a str subclass may hold anything) or the
// filter; the name stays a str, which the messages need.
template <class T> int clear_named(PyObject* self) noexcept {
    if (!nb::inst_ready(self)) return 0;
    T& t = *nb::inst_ptr<T>(self);
    const nb::object old_name = std::exchange(t.name, nb::str(""));
    return clear_objects<T>(self, [&](nb::object& o) { return &o != &t.name; });
}

const Signature sig_bias_init("__init__",
                              {text("name", "'softSensor'"), real("filter_tao", "5.0"),
                               real("abs_threshold", "1e-06"), integer("prd_len", "28800"),
                               integer("const_len", "60")});
const Signature sig_bias_run("run", {real("prd_data"), real("lab_data"), real("lab_time"),
                                     opt_float("prd_time"), opt_float("update_trigger")});
const Signature sig_update_bias("_update_bias", {real("lab_data"), real("lab_time")});
const Signature sig_get_name("get_name", {});
const Signature sig_get_lab_data("get_lab_data", {});
const Signature sig_get_lab_time("get_lab_time", {});
const Signature sig_get_prd_at("get_prd_data_at_labtime", {});
const Signature sig_get_flag("get_update_flag", {});
const Signature sig_get_bias("get_bias", {});

void bias_init(PyObject* self, const Args& a) {
    const std::size_t prd_cap = capacity(a, 3, 1), lab_cap = capacity(a, 4, 2);
    const double filter_tao = a.num(1);
    nb::object fil = nb::none();
    if (filter_tao > 0) {
        // 1 / (filter_tao s + 1), one sampling period per run call, at rest.
        nb::list num, den;
        num.append(1);
        den.append(filter_tao);
        den.append(1);
        fil = nb::handle(py.sfilter)(num, den, nb::arg("u_ini") = 0.0, nb::arg("y_ini") = 0.0);
    }
    emplace<PyBias>(
        self, PyBias{BiasUpdate(a.num(2), prd_cap, lab_cap), nb::borrow(a.obj(0)), std::move(fil)});
}

// The filtered bias: the bias filter stepped once with the current bias.
PyObject* filtered(PyBias& p) {
    const nb::object fil = p.fil; // the call may replace the field
    const double bias = p.core.bias();
    double y;
    const int native = py.filters->sfilter_step(fil.ptr(), bias, &y);
    if (native == 0) return to_py(y);
    if (native < 0) return nullptr;
    if (!truth(fil)) return to_py(bias);
    nb::object b = checked(to_py(bias));
    return PyObject_CallOneArg(fil.ptr(), b.ptr());
}

void report(PyBias& p, BiasUpdate::Attempt attempt) {
    if (attempt == BiasUpdate::Attempt::unchanged)
        print_named(p.name.ptr(), BiasUpdate::unchanged_note);
}

PyObject* bias_run(PyBias& p, const Args& a) {
    std::optional<double> prd_time = a.opt(3);
    const std::optional<double> trigger = a.opt(4);
    if (const char* bad = BiasUpdate::not_finite(a.num(0), a.num(1), a.num(2), prd_time, trigger))
        raise_named(PyExc_ValueError, p.name.ptr(), bad);
    if (!prd_time) prd_time = korvel::wall_clock();
    const auto step =
        allocating([&] { return p.core.run(a.num(0), a.num(1), a.num(2), *prd_time, trigger); });
    // Printing runs sys.stdout's code, which may rename the block.
    report(p, step.attempt);
    if (step.first) print_named(p.name.ptr(), BiasUpdate::first_data_note);
    return filtered(p);
}

void bias_update(PyBias& p, const Args& a) {
    report(p, p.core.update_bias(a.num(0), a.num(1)));
}

nb::object get_name(PyBias& p, const Args&) {
    return p.name;
}
double get_lab_data(PyBias& p, const Args&) {
    return p.core.current_lab_data();
}
double get_lab_time(PyBias& p, const Args&) {
    return p.core.current_lab_time();
}
double get_prd_at(PyBias& p, const Args&) {
    return p.core.prd_data_at_labtime();
}
bool get_flag(PyBias& p, const Args&) {
    return p.core.update_flag();
}
double get_bias(PyBias& p, const Args&) {
    return p.core.bias();
}

// ---------------------------------------------------------------- LabDataRecorder

struct PyRecorder {
    LabHistory lab;
    double abs_threshold;
    nb::object name;     // str
    nb::object csv_file; // a path

    template <class F> void for_each_object(F&& f) {
        f(name);
        f(csv_file);
    }
};

const Signature sig_rec_init("__init__",
                             {text("name", "'softSensor'"), real("abs_threshold", "1e-06"),
                              integer("const_len", "60"), object("csv_dir", "'./'")});
const Signature sig_rec_run("run", {real("lab_data"), real("lab_time")});
const Signature sig_rec_export("export_lab_data_csv", {real("lab_data"), real("lab_time")});

// The bytes the file system takes for a path, or false (with no error set)
// when it cannot be encoded.
bool fs_bytes(nb::handle path, std::string& out) {
    PyObject* b = PyObject_CallOneArg(py.fsencode, path.ptr());
    if (!b) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) raise();
        PyErr_Clear();
        return false;
    }
    nb::object bytes = nb::steal(b);
    if (!PyBytes_Check(b)) throw nb::type_error("os.fsencode did not return bytes");
    out.assign(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
    return true;
}

void rec_init(PyObject* self, const Args& a) {
    PyObject* name = a.obj(0);
    if (PyUnicode_FindChar(name, '/', 0, PY_SSIZE_T_MAX, 1) != -1 ||
        PyUnicode_FindChar(name, 0, 0, PY_SSIZE_T_MAX, 1) != -1)
        raise_named(PyExc_ValueError, name, korvel::lab_name_path_note);
    const std::size_t lab_cap = capacity(a, 2, 2);
    nb::object dir = nb::handle(py.path)(nb::handle(a.obj(3)));
    dir = dir.attr("resolve")();
    // The name must make a file name of its own in csv_dir, which is checked
    // before anything is created.
    std::string dir_bytes, name_bytes;
    if (!fs_bytes(dir, dir_bytes) || !fs_bytes(name, name_bytes))
        raise_named(PyExc_ValueError, name, korvel::lab_name_file_note);
    if (const char* refusal = korvel::lab_name_refusal(dir_bytes, name_bytes))
        raise_named(PyExc_ValueError, name, refusal);
    dir.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    nb::object file_name = checked(PyUnicode_FromFormat("%U%s", name, korvel::lab_csv_suffix));
    nb::object csv_file = checked(PyNumber_TrueDivide(dir.ptr(), file_name.ptr()));
    emplace<PyRecorder>(
        self, PyRecorder{LabHistory(lab_cap), a.num(1), nb::borrow(name), std::move(csv_file)});
}

// The file existence test, then the append: 0 or an errno value.
int append_row(const std::string& path, const std::string& row) noexcept {
    try {
        return korvel::append_record(path, korvel::file_exists(path), korvel::lab_csv_header, row);
    } catch (...) {
        return ENOMEM;
    }
}

// One CSV row appended; see korvel/append.hpp for how it reaches the file.
void export_row(PyRecorder& r, double lab_data, double lab_time) {
    const std::string row = korvel::lab_row(std::time(nullptr), lab_time, lab_data);
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
    if (err == korvel::not_regular_file) {
        nb::object e = nb::handle(PyExc_OSError)(EINVAL, "Not a regular file", file);
        PyErr_SetObject(PyExc_OSError, e.ptr());
        raise();
    }
    if (err != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.ptr());
        raise();
    }
}

bool rec_run(PyRecorder& r, const Args& a) {
    const double lab_data = a.num(0), lab_time = a.num(1);
    PyObject* name = r.name.ptr();
    if (!std::isfinite(lab_data))
        raise_named(PyExc_ValueError, name, " LabDataRecorder: lab_data is not finite!");
    if (!std::isfinite(lab_time))
        raise_named(PyExc_ValueError, name, " LabDataRecorder: lab_time is not finite!");
    allocating([&] { r.lab.record(lab_data); });
    if (!r.lab.new_result(r.abs_threshold)) return false;
    export_row(r, lab_data, lab_time);
    return true;
}

void rec_export(PyRecorder& r, const Args& a) {
    export_row(r, a.num(0), a.num(1));
}

// Name fields hold a str: messages and file names are made from them.
template <class T, class Class> void def_name_field(Class& cls) {
    def_kind_field<T, &T::name>(cls, "_name", &PyUnicode_Type);
}

void def_bias(nb::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_bias_init, bias_init>)},
        {Py_tp_methods,
         methods({
             method<PyBias, sig_bias_run, bias_run>(doc::run),
             method<PyBias, sig_get_name, get_name>(doc::get_name),
             method<PyBias, sig_get_lab_data, get_lab_data>(doc::get_lab_data),
             method<PyBias, sig_get_lab_time, get_lab_time>(doc::get_lab_time),
             method<PyBias, sig_get_prd_at, get_prd_at>(doc::get_prd_data_at_labtime),
             method<PyBias, sig_get_flag, get_flag>(doc::get_update_flag),
             method<PyBias, sig_get_bias, get_bias>(doc::get_bias),
             method<PyBias, sig_update_bias, bias_update>(doc::update_bias),
         })},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyBias>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_named<PyBias>)},
        {0, nullptr}};
    nb::class_<PyBias> bias(
        m, "SoftSensorBiasUpdate", nb::type_slots(slots),
        sig_bias_init.class_doc("SoftSensorBiasUpdate", doc::SoftSensorBiasUpdate));
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
            BiasUpdate core(field_real(s[3]), prd_cap, lab_cap);
            core.bias_mut() = field_real(s[4]);
            core.update_flag_mut() = state_bool(s[5]);
            core.current_lab_data_mut() = field_real(s[6]);
            core.current_lab_time_mut() = field_real(s[7]);
            core.prd_data_at_labtime_mut() = field_real(s[8]);
            allocating([&] {
                core.restore(unpack(prd_data, prd_cap), unpack(prd_time, prd_cap),
                             unpack(lab_data, lab_cap));
            });
            emplace<PyBias>(self.ptr(), PyBias{std::move(core), std::move(name), s[12]});
        });
}

void def_recorder(nb::module_& m) {
    static PyType_Slot slots[] = {
        {Py_tp_init, reinterpret_cast<void*>(init_entry<sig_rec_init, rec_init>)},
        {Py_tp_methods,
         methods({
             method<PyRecorder, sig_rec_run, rec_run>(doc::rec_run),
             method<PyRecorder, sig_rec_export, rec_export>(doc::export_lab_data_csv),
         })},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse_objects<PyRecorder>)},
        {Py_tp_clear, reinterpret_cast<void*>(clear_named<PyRecorder>)},
        {0, nullptr}};
    nb::class_<PyRecorder> rec(m, "LabDataRecorder", nb::type_slots(slots),
                               sig_rec_init.class_doc("LabDataRecorder", doc::LabDataRecorder));
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
            const double threshold = field_real(s[2]);
            const auto data = state_as<nb::bytes>(s[3], what);
            LabHistory lab(cap);
            allocating([&] { lab.restore(unpack(data, cap)); });
            emplace<PyRecorder>(self.ptr(),
                                PyRecorder{std::move(lab), threshold, std::move(name), s[4]});
        });
}

} // namespace

NB_MODULE(labbias, m) {
    m.doc() = doc::module;
    py.sfilter = import_attr("korvel.algorithm.tfblock", "sFilter").release().ptr();
    py.filters = import_api<TfblockApi>();
    py.path = import_attr("pathlib", "Path").release().ptr();
    py.fsencode = import_attr("os", "fsencode").release().ptr();
    def_bias(m);
    def_recorder(m);
}
