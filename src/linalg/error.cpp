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
        case Kind::InvalidStride:
            return "InvalidStride { s0: " + std::to_string(a) + ", s1: " + std::to_string(b) + " }";
        case Kind::MemoryNotCont:
            return "MemoryNotCont";
        case Kind::NonStandardShape:
            return "IncompatibleShape";
        case Kind::ReshapeFailed:
            return "Shape(ShapeError/IncompatibleShape: incompatible shapes)";
    }
    return "Unknown";
}

}  // namespace ordinata::linalg
