// The error an estimator operation returns instead of its result. The call
// frame turns it into a Python exception of the given kind.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace ordinata::models {

struct EstimatorError {
    enum class Kind { ValueError, RuntimeError };
    Kind kind;
    std::string message;

    static EstimatorError value(std::string msg) { return {Kind::ValueError, std::move(msg)}; }
    static EstimatorError runtime(std::string msg) { return {Kind::RuntimeError, std::move(msg)}; }
};

template <class T>
using Result = std::expected<T, EstimatorError>;

inline std::unexpected<EstimatorError> value_error(std::string msg) {
    return std::unexpected(EstimatorError::value(std::move(msg)));
}
inline std::unexpected<EstimatorError> runtime_error(std::string msg) {
    return std::unexpected(EstimatorError::runtime(std::move(msg)));
}

}  // namespace ordinata::models
