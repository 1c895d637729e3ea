#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "models/panel_data/fe/fe.hpp"

namespace om = ordinata::models;
using ordinata::linalg::Matrix;
using ordinata::linalg::Vector;

namespace {

om::EntityIdView view(const std::vector<std::int64_t>& ids) { return {ids.data(), ids.size(), 1}; }

}  // namespace

TEST(FeEntityIndex, FirstAppearanceOrderOverExtremeIds) {
    constexpr std::int64_t lo = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t hi = std::numeric_limits<std::int64_t>::max();
    const std::vector<std::int64_t> ids{hi, 0, lo, hi, -1, lo, 1024, 2048, 0};
    const om::EntityIndex idx = om::build_entity_index(view(ids));
    EXPECT_EQ(idx.map.size(), 6u);
    EXPECT_EQ(idx.rows, (std::vector<std::uint64_t>{0, 1, 2, 0, 3, 2, 4, 5, 1}));
    EXPECT_EQ(om::entity_rows(view(ids), idx.map), idx.rows);
}

TEST(FeEntityIndex, ReversedStridesReadInLogicalOrder) {
    const std::vector<std::int64_t> ids{5, 9, 5, 3};
    const om::EntityIdView reversed{ids.data() + 3, 4, -1};
    EXPECT_EQ(om::build_entity_index(reversed).rows, (std::vector<std::uint64_t>{0, 1, 2, 1}));
}

TEST(FeWithin, DemeansPerEntityAndZeroesSingletons) {
    Matrix x(4, 1);
    x(0, 0) = 1.0, x(1, 0) = 3.0, x(2, 0) = 10.0, x(3, 0) = 7.0;
    const Vector y(4, 2.0);
    const ordinata::linalg::VectorView yv = y.view();
    const std::vector<std::uint64_t> rows{0, 0, 1, 2};
    const om::WithinData w = om::within_transform(x, &yv, rows, 3);
    EXPECT_EQ(w.x(0, 0), -1.0);
    EXPECT_EQ(w.x(1, 0), 1.0);
    EXPECT_EQ(w.x(2, 0), 0.0);
    EXPECT_EQ(w.x(3, 0), 0.0);
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(w.y[i], 0.0);
}

TEST(FeClustered, MatchesSandwichByHand) {
    // k = 1, M = 1/4: V = (sum_g (sum_i e_i x_i)^2) / 16.
    Matrix xw(4, 1);
    xw(0, 0) = 1.0, xw(1, 0) = -1.0, xw(2, 0) = 2.0, xw(3, 0) = 0.5;
    Vector e(4);
    e[0] = 1.0, e[1] = 3.0, e[2] = 0.5, e[3] = -2.0;
    Matrix m(1, 1, 0.25);
    const std::vector<std::uint64_t> rows{0, 0, 1, 1};
    const Vector se = om::compute_clustered_standard_errors(xw, e, m, rows, 2);
    const double s0 = 1.0 - 3.0, s1 = 1.0 - 1.0;
    EXPECT_DOUBLE_EQ(se[0], std::sqrt((s0 * s0 + s1 * s1) / 16.0));
}
