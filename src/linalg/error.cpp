#include "linalg/error.hpp"

namespace ordinata::linalg {

std::string LinalgError::debug() const {
    switch (kind) {
        case Kind::LapackInvalidValue:
            return "Lapack(LapackInvalidValue { return_code: " + std::to_string(a) + " })";
        case Kind::LapackComputationalFailure:
            return "Lapack(LapackComputationalFailure { return_code: " + std::to_string(a) + " })";
        case Kind::LapackInvalidShape:
            return "Lapack(InvalidShape)";
        case Kind::NotSquare:
            return "NotSquare { rows: " + std::to_string(a) + ", cols: " + std::to_string(b) + " }";
    }
    return "Unknown";
}

}  // namespace ordinata::linalg
