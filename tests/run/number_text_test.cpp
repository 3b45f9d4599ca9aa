#include "run/number_text.h"

#include <gtest/gtest.h>

#include <string>

namespace plumvane {
namespace {

TEST(NumberText, ShortestRoundTripWithAFraction) {
  EXPECT_EQ(shortestFloat(30), "30.0");
  EXPECT_EQ(shortestFloat(25), "25.0");
  EXPECT_EQ(shortestFloat(12.5f), "12.5");
  EXPECT_EQ(shortestFloat(29.97f), "29.97");
  EXPECT_EQ(shortestFloat(30000.0f / 1001.0f), "29.97003");
  EXPECT_EQ(std::stof(shortestFloat(30000.0f / 1001.0f)), 30000.0f / 1001.0f);
  EXPECT_EQ(shortestDouble(1200), "1200.0");
  EXPECT_EQ(shortestDouble(0), "0.0");
  EXPECT_EQ(shortestDouble(0.5), "0.5");
}

}  // namespace
}  // namespace plumvane
