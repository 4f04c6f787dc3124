// The arguments of a bank's operations: a value per lane, given as one
// number every lane takes or as n values, one per lane, and the arrays a
// bank answers with. What NumPy does with such an argument is what happens:
// np.asarray(value, dtype=float), then broadcast to the n lanes (a number or
// a single value for all, n values one each, anything else refused).
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/lanes.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "instance.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;

// A bank's lane count, argument i (exactly an int): ValueError for one below 0.
std::size_t lane_count(const Args& a, std::size_t i);

class LaneValues {
  public:
    // ValueError "<name> must be a number or <n> values, not ..." for a
    // value that does not broadcast to n lanes; NumPy's own conversion error
    // for one it cannot convert.
    LaneValues(nb::handle value, std::size_t n, const char* name);
    LaneValues(const LaneValues&) = delete;
    LaneValues& operator=(const LaneValues&) = delete;

    // A view valid while this object lives (the values are held).
    korvel::Lanes lanes() const noexcept {
        return array_.is_valid() ? korvel::Lanes{data_, stride_} : korvel::Lanes::all(scalar_);
    }

  private:
    double scalar_ = 0.0;
    nb::object array_; // the converted array, when there is one
    const double* data_ = nullptr;
    std::ptrdiff_t stride_ = 0;
};

// An optional value per lane (an operating point a first call may supply):
// None for every lane, or what LaneValues takes, where a list or tuple of n
// values may hold None for some lanes.
class OptionalLaneValues {
  public:
    OptionalLaneValues(nb::handle value, std::size_t n, const char* name);

    std::optional<double> operator[](std::size_t i) const noexcept {
        if (!values_ || (!none_.empty() && none_[i])) return std::nullopt;
        return values_->lanes()[i];
    }

  private:
    std::optional<LaneValues> values_; // none: None for every lane
    std::vector<std::uint8_t> none_;   // the lanes given None, if some were
};

// Fails a bank's operation for the lanes whose block fails. `fail(i)` does
// what lane i's block does and throws its error (a C++ or a Python one), or
// returns if lane i goes through. The first lane's error is raised, its
// message followed by " (lanes ...)" naming every lane that fails with the
// same error; returns when no lane fails.
class LaneErrors {
  public:
    explicit LaneErrors(std::size_t n) : same_(n) {}
    // Takes the exception being handled as lane i's.
    void add(std::size_t i);
    void raise_if_any();

  private:
    nb::object first_; // the first lane's error
    std::vector<std::uint8_t> same_;
};
template <class Fail> void raise_lane_errors(std::size_t n, Fail&& fail) {
    LaneErrors errors(n);
    for (std::size_t i = 0; i < n; ++i) {
        try {
            fail(i);
        } catch (...) {
            errors.add(i);
        }
    }
    errors.raise_if_any();
}

// A new float64 array of n items and its data.
nb::object lane_array(std::size_t n, double*& data);

// A float64 array of the values.
nb::object lane_array(const std::vector<double>& v);

// The lanes set in `flags`, as the text a bank's messages name them with:
// "lanes 0, 3, 7" (at most the first 20, then "..."), "lane 5" for one.
nb::str lane_list(const std::vector<std::uint8_t>& flags);

// A lane index as Python's sequences take it (negative from the end):
// index_value converts it (which may run Python code), lane_index checks it
// against n lanes (IndexError "<what> index out of range").
Py_ssize_t index_value(nb::handle index);
std::size_t lane_index(Py_ssize_t i, std::size_t n, const char* what);

// The slots that make a bank (a T whose `core` has size()) a sequence of its
// lanes: len(bank); bank[i], the new block Get(T&, i) makes of lane i; and
// bank[i] = block, Put(T&, i, block), which refuses what is not a block.
// `Name` names the bank in the messages. The index is checked against the
// lanes there are once converting it (Python code) has run.
template <class T> Py_ssize_t bank_len(PyObject* self) noexcept {
    T* p = self_of<T>(self);
    return p ? static_cast<Py_ssize_t>(p->core.size()) : -1;
}
template <class T, const char* Name, auto Get>
PyObject* bank_item(PyObject* self, PyObject* index) noexcept {
    if (!self_of<T>(self)) return nullptr;
    return guard([&] {
        const Py_ssize_t i = index_value(index);
        T* p = self_of<T>(self);
        if (!p) raise();
        return nb::object(Get(*p, lane_index(i, p->core.size(), Name))).release().ptr();
    });
}
template <class T, const char* Name, auto Put>
int bank_set_item(PyObject* self, PyObject* index, PyObject* value) noexcept {
    if (!self_of<T>(self)) return -1;
    return guard_int([&] {
        if (!value) raise_format(PyExc_TypeError, "lanes of a %s cannot be deleted", Name);
        const Py_ssize_t i = index_value(index);
        T* p = self_of<T>(self);
        if (!p) raise();
        Put(*p, lane_index(i, p->core.size(), Name), nb::handle(value));
        return 0;
    });
}

// Vectors of doubles and flags as the little-endian bytes of a saved state,
// and back (ValueError "invalid <what> state" for bytes of another length).
nb::bytes pack_lanes(const std::vector<double>& v);
std::vector<double> unpack_lanes(nb::handle b, std::size_t n, const char* what);

} // namespace korvel::pyglue
