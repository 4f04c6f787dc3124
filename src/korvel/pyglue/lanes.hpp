// The arguments of a bank's operations: a value per lane, given as one
// number every lane takes or as n values, one per lane, and the arrays a
// bank answers with. What NumPy does with such an argument is what happens:
// np.asarray(value, dtype=float), then broadcast to the n lanes (a number or
// a single value for all, n values one each, anything else refused).
#pragma once

#include <nanobind/nanobind.h>

#include <korvel/lanes.hpp>

#include <cstddef>
#include <vector>

namespace korvel::pyglue {

namespace nb = nanobind;

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

// The lane count a bank is made with: ValueError "a bank needs n >= 0 lanes,
// not <n>" below 0.
std::size_t lane_count(long long n);

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

} // namespace korvel::pyglue
