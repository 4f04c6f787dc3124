// The history shift every block shares: `history[1:] = history[:-1]`, then
// `history[0] = value`, in place and without changing the length.
#pragma once

#include <Python.h>

#include <cstring>

namespace korvel::pyglue {

// Lists and one-dimensional arrays of any dtype (the value converted to the
// element type as NumPy converts it), any other mutable sequence through its
// slicing. An empty history is an IndexError after changing nothing; a value
// that the element type refuses fails after the shift.
bool data_store(PyObject* history, PyObject* value) noexcept;

// The same for a float64 array known to be contiguous, with a double value.
void data_store(double* first, Py_ssize_t n, double value) noexcept;

// The same for n >= 1 elements of type T, `stride` bytes apart (a strided
// one-dimensional array), with a value already of the element type.
template <class T>
inline void data_store(char* first, Py_ssize_t n, Py_ssize_t stride, T value) noexcept {
    if (stride == static_cast<Py_ssize_t>(sizeof(T))) {
        std::memmove(first + stride, first, static_cast<std::size_t>(n - 1) * sizeof(T));
    } else {
        for (Py_ssize_t i = n - 1; i > 0; --i)
            std::memcpy(first + i * stride, first + (i - 1) * stride, sizeof(T));
    }
    std::memcpy(first, &value, sizeof(T));
}

} // namespace korvel::pyglue
