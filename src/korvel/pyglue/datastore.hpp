// The history shift every block shares: `history[1:] = history[:-1]`, then
// `history[0] = value`, in place and without changing the length.
#pragma once

#include <Python.h>

namespace korvel::pyglue {

// Lists and one-dimensional arrays of any dtype (the value converted to the
// element type as NumPy converts it), any other mutable sequence through its
// slicing. An empty history is an IndexError after changing nothing; a value
// that the element type refuses fails after the shift.
bool data_store(PyObject* history, PyObject* value) noexcept;

// The same for a float64 array known to be contiguous, with a double value.
void data_store(double* first, Py_ssize_t n, double value) noexcept;

} // namespace korvel::pyglue
