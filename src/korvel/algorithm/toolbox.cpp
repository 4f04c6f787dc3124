// korvel.algorithm.toolbox: discretisation with dead time, nested tag paths,
// breakpoint strings, time stamps and the history shift.
#include <ctime>
#include <utility>
#include <vector>

#include "pyglue/datastore.hpp"
#include "pyglue/glue.hpp"
#include "pyglue/pycall.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

const Signature sig_c2d("c2d", {"Gs_num", "Gs_den", "Gs_delay", "Ts", "method"}, 3, false);
const Signature sig_dict2pairs("dict2pairs", {"d", "path"}, 1, false);
const Signature sig_pair2dict("pair2dict", {"pair", "d"}, 2, false);
const Signature sig_str2xpyp("str2xpyp", {"s"}, 1, false);
const Signature sig_time("current_time_str", {}, 0, false);
const Signature sig_data_store("dataStore", {"xArray", "xt"}, 2, false);

nb::object checked(PyObject* o) {
    if (!o) throw nb::python_error();
    return nb::steal(o);
}

// --- c2d -----------------------------------------------------------------

PyObject* c2d(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[5];
    if (!sig_c2d.bind(args, nargs, kwnames, a)) return nullptr;
    return guard([&] {
        nb::object num = float_array(a[0]);
        nb::object den = float_array(a[1]);
        nb::handle delay = a[2];
        nb::object Ts = a[3] ? nb::borrow(a[3]) : nb::cast(1);
        nb::object method = a[4] ? nb::borrow(a[4]) : nb::str("zoh");

        // Leading zeros go; an all-zero numerator has no first index.
        nb::object nonzero = checked(PyObject_RichCompare(num.ptr(), nb::int_(0).ptr(), Py_NE));
        nb::object where = import_attr("numpy", "where")(nonzero);
        nb::object first = where[nb::int_(0)][nb::int_(0)];
        num = num[nb::slice(first, nb::none(), nb::none())];

        nb::object res = import_attr("scipy.signal", "cont2discrete")(
            nb::make_tuple(num, den), nb::arg("dt") = Ts, nb::arg("method") = method,
            nb::arg("alpha") = nb::none());
        auto parts = unpack(res, 3);

        // Dead time in whole samples, ties to even.
        nb::object ratio = checked(PyNumber_TrueDivide(delay.ptr(), Ts.ptr()));
        nb::object rounded = nb::module_::import_("builtins").attr("round")(ratio);
        nb::object d = checked(PyNumber_Long(rounded.ptr()));

        nb::object zeros = import_attr("numpy", "zeros")(d);
        nb::object row = parts[0][nb::int_(0)];
        nb::object gd_num = import_attr("numpy", "hstack")(nb::make_tuple(zeros, row));
        return nb::make_tuple(gd_num, parts[1]).release().ptr();
    });
}

// --- dict2pairs ----------------------------------------------------------

// The lazy depth-first walk: one frame per dictionary being iterated, each
// holding the dictionary's own items iterator, so a dictionary changed by
// the consumer fails exactly as iterating it would.
struct PairIterator {
    struct Frame {
        nb::object items;
        nb::object path;
    };
    std::vector<Frame> stack;
    bool running = false; // inside next(): a key's __str__ may call it again
};

void push_frame(PairIterator& it, nb::handle d, nb::object path) {
    // One frame per nesting level, as the generator it stands for would
    // recurse: a dict that contains itself ends in RecursionError.
    if (it.stack.size() >= static_cast<std::size_t>(Py_GetRecursionLimit())) {
        PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        throw nb::python_error();
    }
    nb::object view = checked(PyObject_CallMethod(d.ptr(), "items", nullptr));
    it.stack.push_back({checked(PyObject_GetIter(view.ptr())), std::move(path)});
}

// path + "." + str(k), or str(k) at the top.
nb::object join(nb::handle path, nb::handle key) {
    nb::object k = checked(PyObject_Str(key.ptr()));
    const int nonempty = PyObject_IsTrue(path.ptr());
    if (nonempty < 0) throw nb::python_error();
    if (!nonempty) return k;
    nb::object head = checked(PyNumber_Add(path.ptr(), nb::str(".").ptr()));
    return checked(PyNumber_Add(head.ptr(), k.ptr()));
}

// `k, v = item`, with the messages of that statement: items() of a dict
// subclass may yield anything.
std::pair<nb::object, nb::object> key_value(nb::object item) {
    if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2)
        return {nb::borrow(PyTuple_GET_ITEM(item.ptr(), 0)),
                nb::borrow(PyTuple_GET_ITEM(item.ptr(), 1))};
    if (!PyIter_Check(item.ptr()) && !PySequence_Check(item.ptr()) &&
        !PyObject_HasAttrString(item.ptr(), "__iter__")) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(item.ptr())->tp_name);
        throw nb::python_error();
    }
    auto kv = unpack(item, 2);
    return {std::move(kv[0]), std::move(kv[1])};
}

PyObject* pairs_next(PyObject* self) {
    PairIterator* it = self_of<PairIterator>(self);
    if (!it) return nullptr;
    if (it->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    it->running = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{it->running};
    try {
        while (!it->stack.empty()) {
            PyObject* item = PyIter_Next(it->stack.back().items.ptr());
            if (!item) {
                if (PyErr_Occurred()) throw nb::python_error();
                it->stack.pop_back();
                continue;
            }
            auto [k, v] = key_value(nb::steal(item));
            nb::object p = join(it->stack.back().path, k);
            if (PyDict_Check(v.ptr())) {
                push_frame(*it, v, std::move(p));
                continue;
            }
            return nb::make_tuple(p, v).release().ptr();
        }
        return nullptr; // exhausted
    } catch (...) {
        it->stack.clear(); // a generator that raised is finished
        set_error_from_current();
        return nullptr;
    }
}

PyObject* pairs_iter(PyObject* self) {
    return Py_NewRef(self);
}

PyType_Slot pairs_slots[] = {{Py_tp_iter, reinterpret_cast<void*>(pairs_iter)},
                             {Py_tp_iternext, reinterpret_cast<void*>(pairs_next)},
                             {0, nullptr}};

PyObject* dict2pairs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!sig_dict2pairs.bind(args, nargs, kwnames, a) || !exact_type(a[0], &PyDict_Type, "d"))
        return nullptr;
    return guard([&] {
        PairIterator it;
        push_frame(it, a[0], a[1] ? nb::borrow(a[1]) : nb::str(""));
        return nb::cast(std::move(it)).release().ptr();
    });
}

// --- pair2dict -----------------------------------------------------------

PyObject* pair2dict(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!sig_pair2dict.bind(args, nargs, kwnames, a) || !exact_type(a[0], &PyTuple_Type, "pair") ||
        !exact_type(a[1], &PyDict_Type, "d"))
        return nullptr;
    return guard([&] {
        auto kv = unpack(a[0], 2);
        if (!PyUnicode_Check(kv[0].ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                         Py_TYPE(kv[0].ptr())->tp_name);
            throw nb::python_error();
        }
        nb::object keys = checked(PyUnicode_Split(kv[0].ptr(), nb::str(".").ptr(), -1));
        std::vector<nb::object> parts;
        for (nb::handle k : nb::list(keys))
            parts.push_back(nb::borrow(k));
        nb::object current = nb::borrow(a[1]);
        for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
            nb::object next;
            if (PyDict_CheckExact(current.ptr())) {
                next =
                    nb::borrow(PyDict_SetDefault(current.ptr(), parts[i].ptr(), nb::dict().ptr()));
                if (!next.is_valid()) throw nb::python_error();
            } else {
                next = current.attr("setdefault")(parts[i], nb::dict());
            }
            if (!PyDict_Check(next.ptr())) {
                PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict",
                             Py_TYPE(next.ptr())->tp_name);
                throw nb::python_error();
            }
            current = std::move(next);
        }
        if (PyObject_SetItem(current.ptr(), parts.back().ptr(), kv[1].ptr()) < 0)
            throw nb::python_error();
        Py_RETURN_NONE;
    });
}

// --- str2xpyp, current_time_str, dataStore -------------------------------

PyObject* str2xpyp(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!sig_str2xpyp.bind(args, nargs, kwnames, a) || !exact_type(a[0], &PyUnicode_Type, "s"))
        return nullptr;
    return guard([&] {
        nb::object entries = checked(PyUnicode_Split(a[0], nb::str("#").ptr(), -1));
        nb::str comma(",");
        std::vector<nb::object> used;
        for (nb::handle e : nb::list(entries)) {
            const int has = PyUnicode_Contains(e.ptr(), comma.ptr());
            if (has < 0) throw nb::python_error();
            if (has && PyUnicode_GET_LENGTH(e.ptr()) >= 2)
                used.push_back(checked(PyUnicode_Split(e.ptr(), comma.ptr(), -1)));
        }
        // Every x first, then every y, as two list comprehensions would.
        nb::list xp, yp;
        for (const auto& f : used)
            xp.append(checked(PyFloat_FromString(PyList_GET_ITEM(f.ptr(), 0))));
        for (const auto& f : used)
            yp.append(checked(PyFloat_FromString(PyList_GET_ITEM(f.ptr(), 1))));
        // NumPy's default sort decides the order of equal x values.
        nb::object array = import_attr("numpy", "array");
        nb::object order = import_attr("numpy", "argsort")(xp);
        nb::object xs = array(xp)[order].attr("tolist")();
        nb::object ys = array(yp)[order].attr("tolist")();
        return nb::make_tuple(xs, ys).release().ptr();
    });
}

PyObject* current_time_str(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!sig_time.bind(args, nargs, kwnames, nullptr)) return nullptr;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) {
        PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    char text[64];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(n));
}

PyObject* py_data_store(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!sig_data_store.bind(args, nargs, kwnames, a) || !data_store(a[0], a[1])) return nullptr;
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"c2d", as_method(c2d), fastcall_flags,
     "c2d($module, Gs_num, Gs_den, Gs_delay, Ts=1, method='zoh')\n--\n\nDiscretises a "
     "continuous transfer function and builds its dead time into the numerator; returns "
     "(Gd_num, Gd_den)."},
    {"dict2pairs", as_method(dict2pairs), fastcall_flags,
     "dict2pairs($module, d, path='')\n--\n\nIterates over the (dotted key path, value) "
     "pairs of a nested dict, depth first."},
    {"pair2dict", as_method(pair2dict), fastcall_flags,
     "pair2dict($module, pair, d)\n--\n\nStores a (dotted key path, value) pair into the "
     "nested dict d."},
    {"str2xpyp", as_method(str2xpyp), fastcall_flags,
     "str2xpyp($module, s)\n--\n\nParses 'x,y#x,y#...' into breakpoint lists (xp, yp) "
     "sorted by x."},
    {"current_time_str", as_method(current_time_str), fastcall_flags,
     "current_time_str($module)\n--\n\nThe local time as 'YYYY-mm-dd HH:MM:SS'."},
    {"dataStore", as_method(py_data_store), fastcall_flags,
     "dataStore($module, xArray, xt)\n--\n\nShifts the history one place back in place and "
     "stores xt at its front."},
    {nullptr, nullptr, 0, nullptr}};

} // namespace

NB_MODULE(toolbox, m) {
    m.doc() = "Discretisation with dead time, nested tag paths, breakpoint strings, time stamps "
              "and the history shift.";
    nb::class_<PairIterator>(m, "_PairIterator", nb::type_slots(pairs_slots),
                             "Iterator of dict2pairs: (dotted key path, value) pairs.")
        .def("__reduce__", [](nb::handle self) -> nb::object {
            PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object",
                         Py_TYPE(self.ptr())->tp_name);
            throw nb::python_error();
        });
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
