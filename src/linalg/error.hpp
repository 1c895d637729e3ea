// The failure value of every linear-algebra operation, with the debug
// description that estimators embed in their messages.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace ordinata::linalg {

struct LinalgError {
    enum class Kind {
        LapackInvalidValue,          // INFO < 0: an illegal argument
        LapackComputationalFailure,  // INFO > 0
        LapackInvalidShape,
        NotSquare,
    };

    Kind kind;
    std::int64_t a = 0;  // INFO or rows
    std::int64_t b = 0;  // cols

    static LinalgError invalid_value(std::int64_t info) { return {Kind::LapackInvalidValue, info}; }
    static LinalgError computational(std::int64_t info) { return {Kind::LapackComputationalFailure, info}; }
    static LinalgError from_info(std::int64_t info) { return info < 0 ? invalid_value(info) : computational(info); }

    std::string debug() const;
    bool operator==(const LinalgError&) const = default;
};

template <class T>
using LinalgResult = std::expected<T, LinalgError>;

}  // namespace ordinata::linalg
