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

TEST(FeFit, FailedRefitChangesNothing) {
    // 2 entities x 4 rows, then 3 entities x 10 rows with a regressor constant within entities.
    Matrix x0(8, 1);
    Vector y0(8);
    std::vector<std::int64_t> ids0(8);
    for (std::size_t i = 0; i < 8; ++i) {
        x0(i, 0) = static_cast<double>(i * i);
        y0[i] = static_cast<double>(i % 3);
        ids0[i] = static_cast<std::int64_t>(i % 2);
    }
    om::FE fe(true);
    ASSERT_TRUE(fe.fit(x0, y0, view(ids0)).has_value());

    Matrix x1(30, 1);
    Vector y1(30);
    std::vector<std::int64_t> ids1(30);
    for (std::size_t i = 0; i < 30; ++i) {
        ids1[i] = static_cast<std::int64_t>(i % 3) + 5;
        x1(i, 0) = static_cast<double>(ids1[i]);
        y1[i] = static_cast<double>(i);
    }
    const auto before = fe.predict(x0, view(ids0));
    ASSERT_TRUE(before.has_value());
    const auto failed = fe.fit(x1, y1, view(ids1));
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message, "Matrix is singular");
    // The failed fit changed nothing: the old map, effects and predictions.
    EXPECT_EQ(fe.fixed_effects()->size(), 2u);
    EXPECT_EQ(fe.entity_map().size(), 2u);
    const auto after = fe.predict(x0, view(ids0));
    ASSERT_TRUE(after.has_value());
    for (std::size_t i = 0; i < 8; ++i) EXPECT_EQ((*after)[i], (*before)[i]);
    const auto p = fe.predict(x1, view(ids1));
    ASSERT_FALSE(p.has_value());
    EXPECT_EQ(p.error().message, "Unknown entity ID: 5. This entity was not present in training data.");
    EXPECT_FALSE(fe.summary().empty());
}
