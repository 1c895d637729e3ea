// Passes that read what values a matrix or vector holds: whether all are
// finite, and whether any magnitude leaves the range where squares are safe.
// Above row_chunks, so that a long pass over a matrix runs on the pool.
#pragma once

#include <cstdint>
#include <optional>

#include "linalg/matrix.hpp"

namespace ordinata::linalg {

bool all_finite(VectorView v);
bool all_finite(MatrixView a);

// What a pass over some values met: NaN or infinity, and magnitudes whose
// squares would leave the range of double precision (beyond 2^+-480, so
// that a sum of up to 2^60 squares neither overflows nor underflows). Plain
// comparisons OR-ed together, so that the passes stay vectorised.
struct MagnitudeRange {
    std::uint8_t not_finite = 0;
    std::uint8_t huge = 0;
    std::uint8_t tiny = 0;

    void add(double v) {
        const double a = v < 0 ? -v : v;
        not_finite |= static_cast<std::uint8_t>(!(a <= 1.7976931348623157e308));
        huge |= static_cast<std::uint8_t>(a >= 0x1p480);
        tiny |= static_cast<std::uint8_t>((a < 0x1p-480) & (a != 0.0));
    }
    void add(const MagnitudeRange& o) {
        not_finite |= o.not_finite;
        huge |= o.huge;
        tiny |= o.tiny;
    }
    bool finite() const { return not_finite == 0; }
    bool extreme() const { return (huge | tiny) != 0; }
};
MagnitudeRange magnitudes(MatrixView a);
MagnitudeRange magnitudes(VectorView v);
// An owned copy of a, or nothing when an element is NaN or infinite; one
// pass over the data for both, which also fills range when given.
std::optional<Matrix> copy_if_finite(MatrixView a, MagnitudeRange* range = nullptr);

}  // namespace ordinata::linalg
