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

TEST(Main, OutputThatCannotBeDeliveredFailsTheRun) {
  const std::string astronaut = std::string(PLUMVANE_TESTDATA) + "/astronaut.png";
  const std::string dir = testing::freshDirectory();
  auto result = runPlumvane({"--cutout", astronaut, dir + "/cut.png"}, {.stdoutPath = "/dev/full"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "can't write to standard output: No space left on device\n");

  result = runPlumvane({"--image", astronaut, dir + "/pieces"}, {.stdoutClosedByReader = true});
  EXPECT_EQ(result.signal, 0);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "can't write to standard output: Broken pipe\n");
}

TEST(Main, ALongCommandLineRunsAndItsErrorStaysOneLineWhateverThePathHolds) {
  // 100 KB of extra arguments, allowed after the cut-out's two paths; a target whose folder
  // can't be there, named with a line break and a tab.
  const std::string dir = testing::freshDirectory();
  std::vector<std::string> args = {"--cutout", std::string(PLUMVANE_TESTDATA) + "/astronaut.png",
                                   "new\nline/\tcut.png", std::string(60000, 'a')};
  for (int i = 0; i < 400; ++i) args.push_back(std::string(100, 'b'));
  const auto result = runPlumvane(args, dir);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "can't write new\\nline/\\tcut.png: No such file or directory\n");
}

}  // namespace
}  // namespace plumvane
