// Pickling and copying of blocks: __getstate__/__setstate__ from a block's
// save and load rules, states checked item by item before anything changes,
// and the attributes a Python subclass keeps.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <vector>

#include "args.hpp"
#include "dicts.hpp"
#include "errors.hpp"
#include "instance.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

// The instance dict of a Python subclass (None for a class without one, or
// an empty one), so pickling keeps what a subclass stored, and its
// restoration.
nb::object inst_dict(PyObject* self);
void restore_dict(PyObject* self, nb::handle d);

// A state given to __setstate__: a tuple of exactly n items, or ValueError.
nb::tuple state_tuple(nb::handle st, std::size_t n);

// A tuple of floats, as states hold numbers.
nb::tuple float_tuple(const std::vector<double>& v);

// The C++ object behind a pickling entry's `self`, constructed and not busy.
template <class T> T& ready_for_state(nanobind::handle self) {
    T* p = self_of<T>(self.ptr());
    if (!p) throw nanobind::python_error();
    return *p;
}

// --- pickling ----------------------------------------------------------
//
// __getstate__ gives save(T&), a tuple; __setstate__(state) hands a tuple
// to load(self, state), which rebuilds the block (emplace<T>) after checking
// every item, so a damaged state fails before anything changes. Both bind
// their arguments like every other operation. An instance of a Python
// subclass that holds attributes of its own saves {"state": <the tuple>,
// "attributes": <its __dict__>}, so a copy keeps them too.
template <class T, class Class, class Save, class Load>
void def_pickle(Class& cls, const char* block, Save save, Load load) {
    cls.def("__getstate__",
            [save](nanobind::handle self, nanobind::args args, nanobind::kwargs kwargs) {
                static const Signature sig("__getstate__", {});
                Args a;
                if (!sig.parse(args.ptr(), kwargs.ptr(), a)) throw nanobind::python_error();
                nanobind::object state = save(ready_for_state<T>(self));
                nanobind::object attributes = inst_dict(self.ptr());
                if (attributes.is_none()) return state;
                nanobind::dict both;
                both["state"] = state;
                both["attributes"] = attributes;
                return nanobind::object(both);
            });
    cls.def("__setstate__",
            [block, load](nanobind::handle self, nanobind::args args, nanobind::kwargs kwargs) {
                static const Signature sig("__setstate__", {object("state")});
                Args a;
                if (!sig.parse(args.ptr(), kwargs.ptr(), a)) throw nanobind::python_error();
                nanobind::object state = nanobind::borrow(a.obj(0)), attributes = nanobind::none();
                if (PyDict_CheckExact(state.ptr()) && PyDict_GET_SIZE(state.ptr()) == 2) {
                    PyObject* s = dict_get(state.ptr(), nanobind::str("state").ptr());
                    PyObject* d = dict_get(state.ptr(), nanobind::str("attributes").ptr());
                    if (s && d && PyDict_Check(d)) {
                        attributes = nanobind::borrow(d);
                        state = nanobind::borrow(s);
                    }
                }
                if (!PyTuple_Check(state.ptr())) {
                    PyErr_Format(PyExc_TypeError, "invalid %s state", block);
                    throw nanobind::python_error();
                }
                load(self, nanobind::borrow<nanobind::tuple>(state));
                restore_dict(self.ptr(), attributes);
            });
}

// Pickling for a block whose whole state is its object fields (listed by
// for_each_object, below): the state is those fields in that order, and a
// tuple of another length is ValueError "invalid <what> state".
template <class T, class Class>
void def_record_pickle(Class& cls, const char* block, const char* what) {
    def_pickle<T>(
        cls, block,
        [](T& t) {
            nanobind::list items;
            t.for_each_object([&](nanobind::object& o) { items.append(o); });
            return nanobind::tuple(items);
        },
        [what](nanobind::handle self, const nanobind::tuple& s) {
            T t{};
            std::size_t n = 0;
            t.for_each_object([&](nanobind::object&) { ++n; });
            if (s.size() != n) {
                PyErr_Format(PyExc_ValueError, "invalid %s state", what);
                throw nanobind::python_error();
            }
            std::size_t i = 0;
            t.for_each_object([&](nanobind::object& o) { o = s[i++]; });
            emplace<T>(self.ptr(), std::move(t));
        });
}

} // namespace korvel::pyglue
