// A write-once cell: empty, or holding one value that is computed on first
// use. Estimators empty their cells when they are refitted.
#pragma once

#include <optional>
#include <utility>

namespace ordinata::models {

template <class T>
class OnceCell {
public:
    const T* get() const { return value_ ? &*value_ : nullptr; }
    void reset() { value_.reset(); }

    // Fills the cell from make() unless it already holds a value. The
    // interpreter lock serialises callers, so no further guard is needed.
    template <class Make>
    const T& get_or_init(Make&& make) const {
        if (!value_) value_.emplace(std::forward<Make>(make)());
        return *value_;
    }

private:
    mutable std::optional<T> value_;
};

}  // namespace ordinata::models
