// A write-once cell: empty, or holding one value that is computed on first
// use. Estimators empty their cells when they are refitted.
#pragma once

#include <mutex>
#include <optional>
#include <utility>

namespace ordinata::models {

template <class T>
class OnceCell {
public:
    OnceCell() = default;
    OnceCell(OnceCell&& other) noexcept : value_(std::move(other.value_)) {}
    OnceCell& operator=(OnceCell&& other) noexcept {
        value_ = std::move(other.value_);
        return *this;
    }

    const T* get() const {
        std::lock_guard lock(mutex_);
        return value_ ? &*value_ : nullptr;
    }
    // Only a refit empties a cell, and a refit holds the object exclusively
    // (see get_or_init): no reader can be inside, so no lock is taken.
    void reset() { value_.reset(); }

    // Fills the cell from make() unless it already holds a value. Readers
    // may run on several threads at once (the interpreter lock is released
    // during long computations), so the first fill is guarded; a reset
    // only happens in a refit, which excludes every reader.
    template <class Make>
    const T& get_or_init(Make&& make) const {
        std::lock_guard lock(mutex_);
        if (!value_) value_.emplace(std::forward<Make>(make)());
        return *value_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::optional<T> value_;
};

}  // namespace ordinata::models
