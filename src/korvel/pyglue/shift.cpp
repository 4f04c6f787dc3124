#include "shift.hpp"

#include <cstring>

namespace korvel::pyglue {

void data_store(double* first, Py_ssize_t n, double value) noexcept {
    if (n <= 0) return;
    std::memmove(first + 1, first, static_cast<std::size_t>(n - 1) * sizeof(double));
    first[0] = value;
}

namespace {

bool shift_list(PyObject* list, PyObject* value) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    if (n == 0) {
        PyErr_SetString(PyExc_IndexError, "list assignment index out of range");
        return false;
    }
    PyObject** items = PySequence_Fast_ITEMS(list);
    PyObject* dropped = items[n - 1];
    std::memmove(items + 1, items, static_cast<std::size_t>(n - 1) * sizeof(PyObject*));
    Py_INCREF(value);
    items[0] = value; // the old items[0] reference now lives in items[1]
    Py_DECREF(dropped);
    return true;
}

// Shifts a writable one-dimensional buffer of plain (non-object) items;
// returns -1 when the buffer does not qualify, so the caller falls back.
int shift_buffer(PyObject* arr) {
    Py_buffer view;
    if (PyObject_GetBuffer(arr, &view, PyBUF_RECORDS) < 0) {
        PyErr_Clear();
        return -1;
    }
    int done = -1;
    const bool plain = view.ndim == 1 && view.format && std::strchr(view.format, 'O') == nullptr;
    if (plain) {
        const Py_ssize_t n = view.shape[0], step = view.strides[0], size = view.itemsize;
        auto* base = static_cast<char*>(view.buf);
        if (step == size) {
            if (n > 1) std::memmove(base + size, base, static_cast<std::size_t>((n - 1) * size));
        } else {
            for (Py_ssize_t i = n - 1; i > 0; --i)
                std::memcpy(base + i * step, base + (i - 1) * step, static_cast<std::size_t>(size));
        }
        done = n > 0 ? 1 : 0;
    }
    PyBuffer_Release(&view);
    return done;
}

// The literal slice assignment, for anything else (object arrays, views
// without a buffer, user sequences); NumPy copies overlapping operands.
bool shift_generic(PyObject* seq) {
    PyObject* minus_one = PyLong_FromLong(-1);
    PyObject* one = PyLong_FromLong(1);
    PyObject* head = minus_one ? PySlice_New(nullptr, minus_one, nullptr) : nullptr;
    PyObject* tail = one ? PySlice_New(one, nullptr, nullptr) : nullptr;
    PyObject* older = head && tail ? PyObject_GetItem(seq, head) : nullptr;
    const int rc = older ? PyObject_SetItem(seq, tail, older) : -1;
    Py_XDECREF(older);
    Py_XDECREF(tail);
    Py_XDECREF(head);
    Py_XDECREF(one);
    Py_XDECREF(minus_one);
    return rc == 0;
}

} // namespace

bool data_store(PyObject* history, PyObject* value) noexcept {
    if (PyList_CheckExact(history)) return shift_list(history, value);
    const int shifted = shift_buffer(history);
    if (shifted < 0 && !shift_generic(history)) return false;
    PyObject* zero = PyLong_FromLong(0);
    if (!zero) return false;
    const int rc = PyObject_SetItem(history, zero, value);
    Py_DECREF(zero);
    return rc == 0;
}

} // namespace korvel::pyglue
