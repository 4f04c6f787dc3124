// The arguments of a bank's operations: a value per lane, given as one
// number every lane takes or as n values, one per lane, and the arrays a
// bank answers with. What NumPy does with such an argument is what happens:
// np.asarray(value, dtype=float), then broadcast to the n lanes (a number or
// a single value for all, n values one each, anything else refused).
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/lanes.hpp>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "instance.hpp"

namespace korvel::pyglue {

namespace nb = nanobind;
namespace np {
struct View;
}

class LaneValues {
  public:
    // ValueError "<name> must be a number or <n> values, not ..." for a
    // value that does not broadcast to n lanes, TypeError "..., not None"
    // for None (which NumPy would take as NaN); NumPy's own conversion
    // error for one it cannot convert.
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

// A count per lane (a delay, a capacity, a length): exactly an int, which
// every lane takes, or what NumPy makes of the value as integers, broadcast to
// n lanes (a list of ints, an integer array). TypeError for values that are
// not ints ("<name> must be an int or <n> ints, not an array of float64", or
// the block's own "Argument '<name>' has incorrect type" for one value),
// ValueError for a shape that does not broadcast. Values beyond a long long
// are kept as its extreme of their sign, and as given for messages.
class LaneCounts {
  public:
    LaneCounts(nb::handle value, std::size_t n, const char* name) : n_(n), name_(name) {
        convert(value);
    }
    LaneCounts(const LaneCounts&) = delete;
    LaneCounts& operator=(const LaneCounts&) = delete;

    // A view valid while this object lives (the values are held).
    korvel::LanesOf<long long> lanes() const noexcept {
        return data_ ? korvel::LanesOf<long long>{data_, stride_}
                     : korvel::LanesOf<long long>::all(scalar_);
    }
    long long operator[](std::size_t i) const noexcept { return lanes()[i]; }
    // Whether lane i's value lies beyond a long long.
    bool too_big(std::size_t i) const noexcept {
        return big_.empty() ? big_scalar_ : big_[stride_ ? i : 0] != 0;
    }
    // Lane i's value as str() gives it.
    std::string text(std::size_t i) const;

  private:
    bool broadcasts(Py_ssize_t m) const noexcept {
        return m == 1 || static_cast<std::size_t>(m) == n_;
    }
    void convert(nb::handle value);
    [[noreturn]] void raise_shape(nb::handle arr) const;
    void one(nb::handle item);
    void take_view(const np::View& v);
    void take_items(nb::handle items);

    std::size_t n_;
    const char* name_;
    long long scalar_ = 0;
    bool big_scalar_ = false;
    const long long* data_ = nullptr;
    std::ptrdiff_t stride_ = 0;
    nb::object held_; // what data_ points into, or where the values came from
    std::vector<long long> own_;
    std::vector<std::uint8_t> big_;
};

// The lane count a bank is built with, argument i: exactly an int, at
// least 0 (ValueError "a bank needs n >= 0 lanes, not -1").
std::size_t lane_count(const Args& a, std::size_t i = 0);

// The lane arguments of one call, parameters first..first+K-1 of `sig`, all
// converted before any lane changes. Converting runs Python code: the bank
// keeps `busy`, so that code cannot start it over under the values.
template <std::size_t K> struct BankArgs {
    std::array<std::optional<LaneValues>, K> v;
    template <class Core>
    BankArgs(const Core& core, const Signature& sig, const Args& a, std::size_t first = 0) {
        const std::size_t n = core.size();
        for (std::size_t i = 0; i < K; ++i)
            v[i].emplace(a.obj(first + i), n, sig.param(first + i));
    }
    korvel::Lanes operator[](std::size_t i) const noexcept { return v[i]->lanes(); }
};

// Fails a bank's operation for the lanes whose blocks fail, as the blocks
// would: the first failing lane's error is raised, its message followed by
// " (lanes ...)" naming every lane that fails with the same error (type and
// message).
class LaneErrors {
  public:
    explicit LaneErrors(std::size_t n) : same_(n) {}
    // Lane i fails with `type` and `message`.
    void add(std::size_t i, PyObject* type, const std::string& message);
    // Lane i fails with the exception being handled (a C++ or a Python one).
    void add(std::size_t i);
    bool any() const noexcept { return type_.is_valid(); }
    // Raises the error, when some lane failed.
    void raise_if_any() const;

  private:
    nb::object type_; // the first failing lane's
    std::string message_;
    std::vector<std::uint8_t> same_;
};

// LaneErrors of n lanes where `fail(i)` does what lane i's block does and
// throws its error, or returns if lane i goes through; returns when no lane
// fails.
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

// A lane index as Python's sequences take it (negative from the end);
// IndexError "<what> index out of range" otherwise.
std::size_t lane_index(nb::handle index, std::size_t n, const char* what);

// Vectors of doubles and flags as the little-endian bytes of a saved state,
// and back (ValueError "invalid <what> state" for bytes of another length).
nb::bytes pack_lanes(const std::vector<double>& v);
std::vector<double> unpack_lanes(nb::handle b, std::size_t n, const char* what);
nb::bytes pack_flags(const std::vector<std::uint8_t>& flags);
std::vector<std::uint8_t> unpack_flags(nb::handle b, std::size_t n, const char* what);

// --- lanes as blocks -------------------------------------------------------
//
// A bank's C++ object T names itself (T::name, "PIDBank") and its scalar
// block (T::block, "PID"), and offers
//   nb::object lane(i)        lane i as a new scalar block,
//   static Lane read(value)   what a lane takes from a scalar block,
//   void put(i, const Lane&)  lane i made that block,
// and the slots below give len(bank), bank[i] and bank[i] = block.

// A new Python instance of the class bound to Block, holding `block`.
template <class Block> nb::object new_block(Block&& block) {
    nb::object o = nb::inst_alloc(nb::type<Block>());
    new (nb::inst_ptr<Block>(o)) Block(std::move(block));
    nb::inst_mark_ready(o);
    return o;
}

// TypeError "a lane of a <bank> takes a <block>, not <type>" for `value`.
[[noreturn]] void refuse_lane(nb::handle value, const char* bank, const char* block);

// The constructed Block behind `value`; refuse_lane for anything else.
template <class Block>
const Block& lane_block(nb::handle value, const char* bank, const char* block) {
    if (!nb::isinstance<Block>(value) || !nb::inst_ready(value)) refuse_lane(value, bank, block);
    return *nb::inst_ptr<Block>(value);
}

template <class T> Py_ssize_t bank_len(PyObject* self) noexcept {
    T* p = self_of<T>(self);
    return p ? static_cast<Py_ssize_t>(p->core.size()) : -1;
}

// The lane count is read only once the index is an int (its __index__ may
// start the bank over); from then on the bank is busy, as reading a block
// and making one may run Python code too.
template <class T> PyObject* bank_item(PyObject* self, PyObject* index) noexcept {
    if (!self_of<T>(self)) return nullptr;
    return guard([&] {
        nb::object at = checked(PyNumber_Index(index));
        T* p = self_of<T>(self);
        if (!p) raise();
        Busy<T> busy(*p);
        return p->lane(lane_index(at, p->core.size(), T::name)).release().ptr();
    });
}

template <class T> int bank_set_item(PyObject* self, PyObject* index, PyObject* value) noexcept {
    if (!self_of<T>(self)) return -1;
    return guard_int([&] {
        if (!value) raise_format(PyExc_TypeError, "lanes of a %s cannot be deleted", T::name);
        nb::object at = checked(PyNumber_Index(index));
        T* p = self_of<T>(self);
        if (!p) raise();
        Busy<T> busy(*p);
        const std::size_t i = lane_index(at, p->core.size(), T::name);
        p->put(i, T::read(value));
        return 0;
    });
}

// A bank's type slots: its own, then len(bank), bank[i] and bank[i] = block,
// then the end mark (the type copies them when it is made).
template <class T> std::vector<PyType_Slot> bank_slots(std::initializer_list<PyType_Slot> own) {
    std::vector<PyType_Slot> s(own);
    s.insert(s.end(), {{Py_mp_length, reinterpret_cast<void*>(bank_len<T>)},
                       {Py_mp_subscript, reinterpret_cast<void*>(bank_item<T>)},
                       {Py_mp_ass_subscript, reinterpret_cast<void*>(bank_set_item<T>)},
                       {Py_sq_length, reinterpret_cast<void*>(bank_len<T>)},
                       {0, nullptr}});
    return s;
}

} // namespace korvel::pyglue
