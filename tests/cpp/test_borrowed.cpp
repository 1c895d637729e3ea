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

TEST(Borrowed, EmptyUntilBound) {
    Square f;
    EXPECT_FALSE(f);
    f = square;
    ASSERT_TRUE(f);
    EXPECT_EQ(f(3.0), 9.0);
    Square copy = f;
    EXPECT_EQ(copy(-2.0), 4.0);
}

TEST(Borrowed, CallsTheCallersObjectNotACopy) {
    int calls = 0;
    const auto count = [&calls] { return ++calls; };
    const Borrowed<int()> f = count;
    EXPECT_EQ(f(), 1);
    EXPECT_EQ(f(), 2);
    EXPECT_EQ(calls, 2);
}

TEST(Borrowed, ForwardsArgumentsAndResult) {
    struct Rows {
        double scale;
        std::pair<double, double> operator()(double a, double b) const { return {a * scale, b * scale}; }
    };
    Rows rows{2.0};
    const Borrowed<std::pair<double, double>(double, double)> f = rows;
    rows.scale = 3.0;  // read at the call, not at binding
    EXPECT_EQ(f(1.0, 2.0), std::make_pair(3.0, 6.0));
}

}  // namespace
