// korvel.algorithm.toolbox: discretisation with dead time, nested tag paths,
// breakpoint strings, time stamps and the history shift.
#include <korvel/breakpoints.hpp>
#include <korvel/tagpath.hpp>
#include <korvel/text.hpp>

#include <ctime>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "docstrings/toolbox.hpp"
#include "pyglue/arrays.hpp"
#include "pyglue/calls.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/fields.hpp"
#include "pyglue/instance.hpp"
#include "pyglue/methods.hpp"
#include "pyglue/scipy.hpp"
#include "pyglue/shift.hpp"

namespace nb = nanobind;
using namespace korvel::pyglue;

namespace {

const Signature sig_c2d("c2d",
                        {object("Gs_num"), object("Gs_den"), object("Gs_delay"), object("Ts", "1"),
                         object("method", "'zoh'")},
                        false);
const Signature sig_dict2pairs("dict2pairs", {dict("d"), object("path", "''")}, false);
const Signature sig_pair2dict("pair2dict", {tuple("pair"), dict("d")}, false);
const Signature sig_str2xpyp("str2xpyp", {text("s")}, false);
const Signature sig_time("current_time_str", {}, false);
const Signature sig_data_store("dataStore", {object("xArray"), object("xt")}, false);

// --- text as the core splits it ------------------------------------------

// A str's UTF-8 bytes, lone surrogates encoded as three bytes each
// (surrogatepass), so every str has them and a piece decoded the same way is
// exactly that part of the str.
struct Utf8 {
    nb::object owner; // the encoded bytes, when the str's own cache cannot hold them
    std::string_view bytes;
};

Utf8 utf8_of(PyObject* s) {
    Py_ssize_t n = 0;
    if (const char* p = PyUnicode_AsUTF8AndSize(s, &n))
        return {nb::object(), {p, static_cast<std::size_t>(n)}};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object b = checked(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    return {b, {PyBytes_AS_STRING(b.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.ptr()))}};
}

nb::object str_of(std::string_view piece) {
    return checked(
        PyUnicode_DecodeUTF8(piece.data(), static_cast<Py_ssize_t>(piece.size()), "surrogatepass"));
}

// --- c2d -----------------------------------------------------------------

nb::object py_c2d(const Args& a) {
    const std::vector<double> num = doubles(a.obj(0), "Gs_num"), den = doubles(a.obj(1), "Gs_den");
    const korvel::DiscreteTf d = korvel::pyglue::c2d(num, den, a.obj(2), a.obj(3), a.obj(4));
    return nb::make_tuple(f64_array(d.num), f64_array(d.den));
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

    // The dicts walked may hold the iterator: the collector sees the frames.
    template <class F> void for_each_object(F&& f) {
        for (Frame& fr : stack) {
            f(fr.items);
            f(fr.path);
        }
    }
};

int pairs_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    return traverse_objects<PairIterator>(self, visit, arg);
}

// Ends the walk; the frames go once the iterator is empty.
int pairs_clear(PyObject* self) noexcept {
    if (nb::inst_ready(self)) {
        std::vector<PairIterator::Frame> old;
        old.swap(nb::inst_ptr<PairIterator>(self)->stack);
    }
    return 0;
}

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
    static const char sep[] = {korvel::tagpath::separator, '\0'};
    nb::object head = checked(PyNumber_Add(path.ptr(), nb::str(sep).ptr()));
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
        std::vector<PairIterator::Frame> old; // a generator that raised is finished
        old.swap(it->stack);
        set_error_from_current();
        return nullptr;
    }
}

PyObject* pairs_iter(PyObject* self) {
    return Py_NewRef(self);
}

PyType_Slot pairs_slots[] = {{Py_tp_iter, reinterpret_cast<void*>(pairs_iter)},
                             {Py_tp_iternext, reinterpret_cast<void*>(pairs_next)},
                             {Py_tp_traverse, reinterpret_cast<void*>(pairs_traverse)},
                             {Py_tp_clear, reinterpret_cast<void*>(pairs_clear)},
                             {0, nullptr}};

nb::object dict2pairs(const Args& a) {
    PairIterator it;
    push_frame(it, a.obj(0), nb::borrow(a.obj(1)));
    return nb::cast(std::move(it));
}

// --- pair2dict -----------------------------------------------------------

void pair2dict(const Args& a) {
    {
        auto kv = unpack(a.obj(0), 2);
        if (!PyUnicode_Check(kv[0].ptr())) {
            PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str",
                         Py_TYPE(kv[0].ptr())->tp_name);
            throw nb::python_error();
        }
        const Utf8 path = utf8_of(kv[0].ptr());
        std::vector<nb::object> parts;
        korvel::tagpath::for_each_key(path.bytes,
                                      [&](std::string_view k) { parts.push_back(str_of(k)); });
        nb::object current = nb::borrow(a.obj(1));
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
    }
}

// --- str2xpyp, current_time_str, dataStore -------------------------------

nb::object str2xpyp(const Args& a) {
    {
        const Utf8 text = utf8_of(a.obj(0));
        const std::vector<korvel::BreakpointFields> used = korvel::breakpoint_fields(text.bytes);
        // Every x first, then every y, as two list comprehensions would; the
        // fields go through float() itself, which reads more than the core's
        // ASCII reader (Unicode digits and white space) and words its errors.
        nb::list xp, yp;
        for (const auto& f : used)
            xp.append(checked(PyFloat_FromString(str_of(f.x).ptr())));
        for (const auto& f : used)
            yp.append(checked(PyFloat_FromString(str_of(f.y).ptr())));
        // NumPy's default sort decides the order of equal x values.
        nb::object array = import_attr("numpy", "array");
        nb::object order = import_attr("numpy", "argsort")(xp);
        nb::object xs = array(xp)[order].attr("tolist")();
        nb::object ys = array(yp)[order].attr("tolist")();
        return nb::make_tuple(xs, ys);
    }
}

nb::object current_time_str(const Args&) {
    std::string text;
    korvel::append_local_time(text, std::time(nullptr));
    return nb::str(text.data(), text.size());
}

void py_data_store(const Args& a) {
    if (!data_store(a.obj(0), a.obj(1))) raise();
}

} // namespace

NB_MODULE(toolbox, m) {
    namespace doc = korvel::docstrings::toolbox;
    m.doc() = doc::module;
    nb::class_<PairIterator>(m, "_PairIterator", nb::type_slots(pairs_slots),
                             "Iterator of dict2pairs: (dotted key path, value) pairs.")
        .def("__reduce__", [](nb::handle self) -> nb::object {
            PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object",
                         Py_TYPE(self.ptr())->tp_name);
            throw nb::python_error();
        });
    PyMethodDef* functions = methods({
        function<sig_c2d, py_c2d>(doc::c2d),
        function<sig_dict2pairs, dict2pairs>(doc::dict2pairs),
        function<sig_pair2dict, pair2dict>(doc::pair2dict),
        function<sig_str2xpyp, str2xpyp>(doc::str2xpyp),
        function<sig_time, current_time_str>(doc::current_time_str),
        function<sig_data_store, py_data_store>(doc::dataStore),
    });
    if (PyModule_AddFunctions(m.ptr(), functions) < 0) throw nb::python_error();
}
