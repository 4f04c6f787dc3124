// korvel.algorithm.labbias: soft-sensor bias correction from laboratory
// samples, and the recorder that appends new laboratory samples to a CSV file.
//
// Both classes run the core's blocks with Python's objects in them (PyLab):
// names are the str callers see, notes go through sys.stdout, the lag is
// whatever `_fil` holds and the file whatever `_csv_file` holds. Histories
// read as fresh collections.deque snapshots (with the history's maxlen),
// oldest first; changing a snapshot does not change the block.
#include <korvel/append.hpp>
#include <korvel/labbias.hpp>

#include <cerrno>
#include <cstring>
#include <span>
#include <string>
#include <utility>

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
using korvel::LabDefaults;
using korvel::LabHistory;
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

// A message, a note or a file name: the name followed directly by `text`.
nb::object after_name(const nb::object& name, const char* text) {
    return checked(PyUnicode_FromFormat("%U%s", name.ptr(), text));
}

nb::list float_list(std::span<const double> v) {
    nb::list out;
    for (double x : v)
        out.append(nb::float_(x));
    return out;
}

// The objects Python callers see in the blocks. Every function takes what it
// keeps past a call into Python as an owned reference or a copy.
struct PyLab {
    using Name = nb::object;  // a str
    using Length = PyObject*; // an int argument, converted where it is taken

    static std::size_t capacity(PyObject* len, int extra) {
        const long long n = PyLong_AsLongLong(len);
        std::size_t cap;
        if ((n == -1 && PyErr_Occurred()) || !capacity_of(n, extra, cap)) raise();
        return cap;
    }
    [[noreturn]] static void refuse(const nb::object& name, const char* tail) {
        PyErr_SetObject(PyExc_ValueError, after_name(name, tail).ptr());
        raise();
    }
    static bool contains(const nb::object& name, char c) {
        const Py_ssize_t at =
            PyUnicode_FindChar(name.ptr(), static_cast<unsigned char>(c), 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) raise();
        return at >= 0;
    }

    // Through sys.stdout, so redirections see the line.
    struct Notes {
        void operator()(const nb::object& name, const char* text) const {
            if (!print_line(after_name(name, text).ptr())) raise();
        }
    };

    // `_fil`: an sFilter (stepped through tfblock's C interface), None, or any
    // object a caller stored, which is called.
    using Lag = nb::object;
    using LagMaker = nb::handle; // the sFilter class
    using Output = nb::object;
    static nb::object make_lag(nb::handle sfilter, double filter_tao) {
        return korvel::bias_lag(filter_tao, nb::object(nb::none()),
                                [&](std::span<const double> num, std::span<const double> den,
                                    int Ts, double u_ini, double y_ini) {
                                    return sfilter(float_list(num), float_list(den), Ts,
                                                   nb::arg("u_ini") = u_ini,
                                                   nb::arg("y_ini") = y_ini);
                                });
    }
    static nb::object hold(const nb::object& lag) { return lag; }
    // An sFilter is true without asking (it defines no truth of its own).
    static bool present(const nb::object& lag) {
        return Py_IS_TYPE(lag.ptr(), reinterpret_cast<PyTypeObject*>(py.sfilter)) || truth(lag);
    }
    static nb::object step(const nb::object& lag, double bias) {
        double y;
        const int native = py.filters->sfilter_step(lag.ptr(), bias, &y);
        if (native == 0) return nb::float_(y);
        if (native < 0) raise();
        nb::object b = nb::float_(bias);
        return checked(PyObject_CallOneArg(lag.ptr(), b.ptr()));
    }
    static nb::object pass(double bias) { return nb::float_(bias); }

    // `_csv_file`: a pathlib path as made, any object a caller stored.
    using DirArg = nb::handle;
    using Dir = nb::object;
    using File = nb::object;
    static nb::object resolve(nb::handle dir) { return nb::handle(py.path)(dir).attr("resolve")(); }
    // The bytes the file system takes for a path, or false (with no error
    // set) when it cannot be encoded.
    static bool fs_text(nb::handle path, std::string& out) {
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
    static void make_dirs(const nb::object& dir) {
        dir.attr("mkdir")(nb::arg("parents") = true, nb::arg("exist_ok") = true);
    }
    static nb::object join(const nb::object& dir, const nb::object& name, const char* suffix) {
        return checked(PyNumber_TrueDivide(dir.ptr(), after_name(name, suffix).ptr()));
    }
    // The file and the row are copies: a caller may replace the field, or run
    // the recorder again, from os.fsencode or while the GIL is released.
    static void append(nb::object file, std::string row) {
        nb::object encoded = nb::handle(py.fsencode)(file);
        if (!PyBytes_Check(encoded.ptr())) throw nb::type_error("os.fsencode did not return bytes");
        const std::string path(PyBytes_AS_STRING(encoded.ptr()),
                               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
        if (path.find('\0') != std::string::npos) throw nb::value_error("embedded null byte");
        // Other threads run while the file is written and synced.
        PyThreadState* released = PyEval_SaveThread();
        const int err = append_unlocked(path, row);
        PyEval_RestoreThread(released);
        if (err == korvel::not_regular_file) {
            nb::object e = nb::handle(PyExc_OSError)(EINVAL, korvel::not_regular_file_text, file);
            PyErr_SetObject(PyExc_OSError, e.ptr());
            raise();
        }
        if (err != 0) {
            errno = err;
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.ptr());
            raise();
        }
    }

  private:
    // Without the GIL nothing may leave but an errno value.
    static int append_unlocked(const std::string& path, const std::string& row) noexcept {
        try {
            return korvel::append_lab_record(path, row);
        } catch (...) {
            return ENOMEM;
        }
    }
};

using Sensor = korvel::BasicSoftSensor<PyLab>;
using Recorder = korvel::BasicLabRecorder<PyLab>;

// Breaks cycles through a name (a str subclass may hold anything) or another
// object field; the name stays a str, which the messages need.
template <class T> int clear_named(PyObject* self) noexcept {
    if (!nb::inst_ready(self)) return 0;
    T& t = *nb::inst_ptr<T>(self);
    const nb::object old_name = std::exchange(t.name(), nb::str(""));
    return clear_objects<T>(self, [&](nb::object& o) { return &o != &t.name(); });
}

// Name fields hold a str: messages and file names are made from them.
template <class T, class Class> void def_name_field(Class& cls) {
    def_field<T>(
        cls, "_name", [](T& t) { return t.name(); },
        [](T& t, nb::handle v) { t.name() = field_kind(v, "_name", &PyUnicode_Type); });
}

// ---------------------------------------------------------------- SoftSensorBiasUpdate

struct PyBias {
    Sensor s;

    nb::object& name() noexcept { return s.name_mut(); }
    template <class F> void for_each_object(F&& f) {
        f(s.name_mut());
        f(s.lag_mut());
    }
};

const Signature sig_bias_init("__init__",
                              {text("name", py_literal(LabDefaults::name)),
                               real("filter_tao", py_literal(LabDefaults::filter_tao)),
                               real("abs_threshold", py_literal(LabDefaults::abs_threshold)),
                               integer("prd_len", py_literal(LabDefaults::prd_len)),
                               integer("const_len", py_literal(LabDefaults::const_len))});
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
    emplace<PyBias>(self, PyBias{Sensor(nb::borrow(a.obj(0)), a.num(1), a.num(2), a.obj(3),
                                        a.obj(4), py.sfilter, {})});
}

nb::object bias_run(PyBias& p, const Args& a) {
    return p.s.run(a.num(0), a.num(1), a.num(2), a.opt(3), a.opt(4));
}
void bias_update(PyBias& p, const Args& a) {
    p.s.update_bias(a.num(0), a.num(1));
}
nb::object get_name(PyBias& p, const Args&) {
    return p.s.name();
}
double get_lab_data(PyBias& p, const Args&) {
    return p.s.core().current_lab_data();
}
double get_lab_time(PyBias& p, const Args&) {
    return p.s.core().current_lab_time();
}
double get_prd_at(PyBias& p, const Args&) {
    return p.s.core().prd_data_at_labtime();
}
bool get_flag(PyBias& p, const Args&) {
    return p.s.core().update_flag();
}
double get_bias(PyBias& p, const Args&) {
    return p.s.core().bias();
}

// ---------------------------------------------------------------- LabDataRecorder

struct PyRecorder {
    Recorder r;

    nb::object& name() noexcept { return r.name_mut(); }
    template <class F> void for_each_object(F&& f) {
        f(r.name_mut());
        f(r.csv_file_mut());
    }
};

const Signature sig_rec_init("__init__",
                             {text("name", py_literal(LabDefaults::name)),
                              real("abs_threshold", py_literal(LabDefaults::abs_threshold)),
                              integer("const_len", py_literal(LabDefaults::const_len)),
                              object("csv_dir", py_literal(LabDefaults::csv_dir))});
const Signature sig_rec_run("run", {real("lab_data"), real("lab_time")});
const Signature sig_rec_export("export_lab_data_csv", {real("lab_data"), real("lab_time")});

void rec_init(PyObject* self, const Args& a) {
    emplace<PyRecorder>(self,
                        PyRecorder{Recorder(nb::borrow(a.obj(0)), a.num(1), a.obj(2), a.obj(3))});
}

bool rec_run(PyRecorder& p, const Args& a) {
    return p.r.run(a.num(0), a.num(1));
}
void rec_export(PyRecorder& p, const Args& a) {
    p.r.export_row(a.num(0), a.num(1));
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
        return snapshot(p.s.core().prd_data(), p.s.core().prd_capacity());
    });
    def_readonly<PyBias>(bias, "_prd_time_list", [](PyBias& p) {
        return snapshot(p.s.core().prd_time(), p.s.core().prd_capacity());
    });
    def_readonly<PyBias>(bias, "_lab_data_list", [](PyBias& p) {
        return snapshot(p.s.core().lab().values(), p.s.core().lab().capacity());
    });
    def_real<PyBias>(bias, "_bias", [](PyBias& p) -> double& { return p.s.core_mut().bias_mut(); });
    def_real<PyBias>(bias, "_abs_threshold",
                     [](PyBias& p) -> double& { return p.s.core_mut().abs_threshold_mut(); });
    def_flag<PyBias>(bias, "_update_flag",
                     [](PyBias& p) -> bool& { return p.s.core_mut().update_flag_mut(); });
    def_real<PyBias>(bias, "_current_lab_data",
                     [](PyBias& p) -> double& { return p.s.core_mut().current_lab_data_mut(); });
    def_real<PyBias>(bias, "_current_lab_time",
                     [](PyBias& p) -> double& { return p.s.core_mut().current_lab_time_mut(); });
    def_real<PyBias>(bias, "_prd_data_at_labtime",
                     [](PyBias& p) -> double& { return p.s.core_mut().prd_data_at_labtime_mut(); });
    def_field<PyBias>(
        bias, "_fil", [](PyBias& p) { return p.s.lag(); },
        [](PyBias& p, nb::handle v) { p.s.lag_mut() = nb::borrow(v); });

    // State: name, capacities, threshold, results, histories, filter.
    def_pickle<PyBias>(
        bias, "SoftSensorBiasUpdate",
        [](PyBias& p) {
            const BiasUpdate& c = p.s.core();
            return nb::make_tuple(p.s.name(), c.prd_capacity(), c.lab().capacity(),
                                  c.abs_threshold(), c.bias(), c.update_flag(),
                                  c.current_lab_data(), c.current_lab_time(),
                                  c.prd_data_at_labtime(), pack(c.prd_data()), pack(c.prd_time()),
                                  pack(c.lab().values()), p.s.lag());
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
            emplace<PyBias>(self.ptr(), PyBias{Sensor(korvel::from_parts, std::move(name),
                                                      std::move(core), s[12], {})});
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
    def_readonly<PyRecorder>(rec, "_lab_data_list", [](PyRecorder& p) {
        return snapshot(p.r.history().values(), p.r.history().capacity());
    });
    def_real<PyRecorder>(rec, "_abs_threshold",
                         [](PyRecorder& p) -> double& { return p.r.abs_threshold_mut(); });
    def_field<PyRecorder>(
        rec, "_csv_file", [](PyRecorder& p) { return p.r.csv_file(); },
        [](PyRecorder& p, nb::handle v) { p.r.csv_file_mut() = nb::borrow(v); });

    // State: name, capacity, threshold, history, file.
    def_pickle<PyRecorder>(
        rec, "LabDataRecorder",
        [](PyRecorder& p) {
            const LabHistory& h = p.r.history();
            return nb::make_tuple(p.r.name(), h.capacity(), p.r.abs_threshold(), pack(h.values()),
                                  p.r.csv_file());
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
            emplace<PyRecorder>(self.ptr(), PyRecorder{Recorder(korvel::from_parts, std::move(name),
                                                                std::move(lab), threshold, s[4])});
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
