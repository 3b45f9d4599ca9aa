#include "platform/vision/subjects/subject_instances.h"

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

TEST(SubjectInstances, KeepsConfidentGrownRegionsLargestFirstAndNothingElse) {
  Mask map = emptyMap();
  paint(map, 5, 5, 15, 15, 0.95f);    // 100 pixels: 1% of the map
  paint(map, 40, 40, 80, 90, 0.99f);  // 2000 pixels
  paint(map, 38, 40, 40, 90, 0.3f);   // a soft rim left of it
  paint(map, 90, 0, 96, 6, 0.99f);    // 36 pixels: under 0.5%, a speck
  paint(map, 0, 60, 20, 80, 0.6f);    // 400 pixels but hesitant
  paint(map, 20, 20, 22, 22, 0.2f);   // below the threshold
  const SubjectInstances found = findInstances(map, 2);
  ASSERT_EQ(found.regions.size(), 2u);

  const Mask first = instanceMask(found, 0);
  EXPECT_FLOAT_EQ(first.values[50 * 100 + 50], 0.99f);
  EXPECT_FLOAT_EQ(first.values[50 * 100 + 39], 0.3f);  // the rim, taken in by the growth
  EXPECT_FLOAT_EQ(first.values[10 * 100 + 10], 0.0f);  // the other instance is not in it
  EXPECT_FLOAT_EQ(instanceMask(found, 1).values[10 * 100 + 10], 0.95f);
  EXPECT_FLOAT_EQ(instanceMask(findInstances(map, 0), 0).values[50 * 100 + 39], 0.0f);

  // The union holds both, and the speck and the hesitant region vanish from it.
  const auto all = allInstancesMask(found);
  ASSERT_TRUE(all);
  EXPECT_FLOAT_EQ(all->values[50 * 100 + 50], 0.99f);
  EXPECT_FLOAT_EQ(all->values[10 * 100 + 10], 0.95f);
  EXPECT_FLOAT_EQ(all->values[3 * 100 + 92], 0.0f);
  EXPECT_FLOAT_EQ(all->values[70 * 100 + 10], 0.0f);

  // Nothing on an empty map, on none at all, or on a region over everything.
  EXPECT_FALSE(allInstancesMask(findInstances(emptyMap(), 2)));
  EXPECT_TRUE(findInstances(Mask{}, 2).regions.empty());
  Mask everywhere = emptyMap();
  paint(everywhere, 0, 0, 100, 100, 1.0f);
  EXPECT_TRUE(findInstances(everywhere, 2).regions.empty());
}

}  // namespace
}  // namespace plumvane
