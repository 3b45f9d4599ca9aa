#include <gtest/gtest.h>

#include <filesystem>

#include "cli/arguments.h"
#include "fresh_directory.h"
#include "run_binary.h"

namespace plumvane {
namespace {

using testing::runPlumvane;

TEST(Main, TooFewArgumentsPrintTheUsageLine) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"clip.mp4"}}) {
    const auto result = runPlumvane(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, std::string(usageLine) + "\n");
  }
}

TEST(Main, NonPositiveMaxIsRefusedBeforeAnythingIsWritten) {
  const std::string dir = testing::freshDirectory();
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"clip.mp4", dir + "/frames", "--max", "0"},
        {"--image", "p.png", dir + "/pieces", "--max", "-640"}}) {
    const auto result = runPlumvane(args);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "--max must be a positive number of pixels\n");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir));
}

TEST(Main, VideoModeCreatesItsOutputDirectory) {
  const std::string dir = testing::freshDirectory() + "/a/b";
  const auto result = runPlumvane({"missing.mp4", dir});
  EXPECT_EQ(result.status, 1);
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  // An existing directory is no failure either: the run gets as far as the video.
  EXPECT_EQ(runPlumvane({"missing.mp4", dir}).err, result.err);
}

}  // namespace
}  // namespace plumvane
