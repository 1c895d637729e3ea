#include <gtest/gtest.h>

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
