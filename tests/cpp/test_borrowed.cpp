// The callables a least-squares problem borrows: bound only to named
// callables, empty until bound, and calling the caller's own object.
#include <gtest/gtest.h>

#include <type_traits>
#include <utility>

#include "models/linear/least_squares_problem.hpp"

using ordinata::models::linear::Borrowed;

namespace {

using Square = Borrowed<double(double)>;
const auto square = [](double v) { return v * v; };
using SquareLambda = decltype(square);

// A temporary would be destroyed before the solve calls it.
static_assert(std::is_constructible_v<Square, const SquareLambda&>);
static_assert(std::is_constructible_v<Square, SquareLambda&>);
static_assert(!std::is_constructible_v<Square, SquareLambda>);
static_assert(!std::is_constructible_v<Square, SquareLambda&&>);
static_assert(!std::is_assignable_v<Square&, SquareLambda>);
static_assert(std::is_assignable_v<Square&, const SquareLambda&>);
// Nor does a callable of another signature bind.
static_assert(!std::is_constructible_v<Borrowed<double(double, double)>, const SquareLambda&>);

// Calls through to the caller's own object (a copy would miss the change
// made after binding), forwarding arguments and result.
TEST(Borrowed, EmptyUntilBoundThenCallsTheCallersObject) {
    struct Rows {
        double scale;
        std::pair<double, double> operator()(double a, double b) const { return {a * scale, b * scale}; }
    };
    Rows rows{2.0};
    Borrowed<std::pair<double, double>(double, double)> f;
    EXPECT_FALSE(f);
    f = rows;
    ASSERT_TRUE(f);
    const auto copy = f;
    rows.scale = 3.0;
    EXPECT_EQ(copy(1.0, 2.0), std::make_pair(3.0, 6.0));
}

}  // namespace
