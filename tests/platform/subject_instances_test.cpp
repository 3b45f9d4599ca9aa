#include "platform/subject_instances.h"

#include <gtest/gtest.h>

namespace plumvane {
namespace {

// A 100 x 100 map with value v over the rectangle [x0, x1) x [y0, y1).
void paint(Mask& map, int x0, int y0, int x1, int y1, float v) {
  for (int y = y0; y < y1; ++y) {
    for (int x = x0; x < x1; ++x) map.values[size_t(y) * 100 + size_t(x)] = v;
  }
}

Mask emptyMap() {
  return Mask{100, 100, std::vector<float>(100 * 100, 0.0f)};
}

TEST(SubjectInstances, KeepsConfidentRegionsLargestFirst) {
  Mask map = emptyMap();
  paint(map, 5, 5, 15, 15, 0.95f);    // 100 pixels: 1% of the map
  paint(map, 40, 40, 80, 90, 0.99f);  // 2000 pixels
  paint(map, 90, 0, 96, 6, 0.99f);    // 36 pixels: under 0.5%, a speck
  paint(map, 0, 60, 20, 80, 0.6f);    // 400 pixels but hesitant
  paint(map, 20, 20, 22, 22, 0.2f);   // below the threshold
  const SubjectInstances found = findInstances(map, 0);
  ASSERT_EQ(found.regions.size(), 2u);

  const Mask first = instanceMask(found, 0, 100, 100);
  EXPECT_FLOAT_EQ(first.values[50 * 100 + 50], 0.99f);
  EXPECT_FLOAT_EQ(first.values[10 * 100 + 10], 0.0f);  // the other instance is not in it
  const Mask second = instanceMask(found, 1, 100, 100);
  EXPECT_FLOAT_EQ(second.values[10 * 100 + 10], 0.95f);

  // The union holds both, and the speck and the hesitant region vanish from it.
  const auto all = allInstancesMask(found, 100, 100);
  ASSERT_TRUE(all);
  EXPECT_FLOAT_EQ(all->values[50 * 100 + 50], 0.99f);
  EXPECT_FLOAT_EQ(all->values[10 * 100 + 10], 0.95f);
  EXPECT_FLOAT_EQ(all->values[3 * 100 + 92], 0.0f);
  EXPECT_FLOAT_EQ(all->values[70 * 100 + 10], 0.0f);
}

TEST(SubjectInstances, GrowsRegionsToTakeInSoftEdgesAndScales) {
  Mask map = emptyMap();
  paint(map, 30, 30, 60, 60, 1.0f);
  paint(map, 28, 30, 30, 60, 0.3f);  // soft rim left of the region
  const SubjectInstances tight = findInstances(map, 0);
  const SubjectInstances grown = findInstances(map, 2);
  EXPECT_FLOAT_EQ(instanceMask(tight, 0, 100, 100).values[40 * 100 + 29], 0.0f);
  EXPECT_FLOAT_EQ(instanceMask(grown, 0, 100, 100).values[40 * 100 + 29], 0.3f);

  const Mask big = instanceMask(grown, 0, 400, 200);  // each axis by its own factor
  EXPECT_EQ(big.width, 400);
  EXPECT_EQ(big.height, 200);
  EXPECT_NEAR(big.values[90 * 400 + 180], 1.0f, 1e-6);  // (45, 45) of the map
  EXPECT_NEAR(big.values[10 * 400 + 10], 0.0f, 1e-6);
}

TEST(SubjectInstances, NothingOnEmptyOrAllOverMaps) {
  EXPECT_TRUE(findInstances(emptyMap(), 2).regions.empty());
  EXPECT_FALSE(allInstancesMask(findInstances(emptyMap(), 2), 10, 10));
  Mask everywhere = emptyMap();
  paint(everywhere, 0, 0, 100, 100, 1.0f);
  EXPECT_TRUE(findInstances(everywhere, 2).regions.empty());
  EXPECT_TRUE(findInstances(Mask{}, 2).regions.empty());
}

}  // namespace
}  // namespace plumvane
