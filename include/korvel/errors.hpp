// Failures of the blocks beyond the standard exceptions.
#pragma once

#include <stdexcept>

namespace korvel {

// NumPy's refusal of an array of negative length.
inline constexpr const char* negative_dimensions = "negative dimensions are not allowed";

// A model entry the construction rule refuses: an unknown mode, or
// breakpoint lists of different lengths.
struct bad_spec : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};
inline bad_spec unknown_mode() {
    return bad_spec("unknown mode");
}
inline bad_spec breakpoint_lengths() {
    return bad_spec("breakpoint lists of different lengths");
}

// NumPy's refusal of the first item of an empty array (an operating point
// taken from the first of no samples, for one).
inline constexpr const char* first_of_empty = "index 0 is out of bounds for axis 0 with size 0";

// A float that cannot become a count, in Python's words.
inline constexpr const char* nan_to_integer = "cannot convert float NaN to integer";
inline constexpr const char* infinity_to_integer = "cannot convert float infinity to integer";

// A division by zero in arithmetic a Python caller would have done itself.
struct zero_division : std::domain_error {
    using std::domain_error::domain_error;
};

} // namespace korvel
