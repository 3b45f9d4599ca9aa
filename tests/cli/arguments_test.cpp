#include "cli/arguments.h"

#include <gtest/gtest.h>

namespace plumvane {
namespace {

using Args = std::vector<std::string>;

TEST(Grammar, UsageCutoutAndPosterRequests) {
  for (const Args& few : {Args{}, Args{"plumvane"}, Args{"plumvane", "a"}}) {
    EXPECT_TRUE(std::holds_alternative<UsageRequest>(parseCommand(few, true))) << few.size();
  }
  // A cut-out ignores everything after its two paths.
  Command command =
      parseCommand({"plumvane", "--cutout", "in.png", "out.png", "--max", "5", "--person"}, true);
  ASSERT_TRUE(std::holds_alternative<CutoutRequest>(command));
  EXPECT_EQ(std::get<CutoutRequest>(command).picture, "in.png");
  EXPECT_EQ(std::get<CutoutRequest>(command).target, "out.png");
  // A poster's bound is 3000 unless --max says otherwise.
  command = parseCommand({"plumvane", "--image", "p.jpg", "out"}, true);
  ASSERT_TRUE(std::holds_alternative<PosterRequest>(command));
  EXPECT_EQ(std::get<PosterRequest>(command).maxSide, 3000);
  EXPECT_EQ(std::get<PosterRequest>(command).picture, "p.jpg");
  EXPECT_EQ(std::get<PosterRequest>(command).outDir, "out");
  command = parseCommand({"plumvane", "--image", "p.jpg", "out", "--max", "640"}, true);
  EXPECT_EQ(std::get<PosterRequest>(command).maxSide, 640);
}

TEST(Grammar, VideoPathsMaxAndPersonFlag) {
  // Anything else is video mode: its paths are the first two arguments, whatever they look like;
  // the value after the first --max anywhere in the list, 1920 when it is missing or malformed;
  // --person anywhere.
  struct Case {
    Args args;
    int64_t maxSide;
    bool person;
  };
  const std::vector<Case> cases = {
      {{"plumvane", "clip.mp4", "frames"}, 1920, false},
      // With only two arguments a mode word is a path; so is one in another case.
      {{"plumvane", "--image", "out"}, 1920, false},
      {{"plumvane", "--cutout", "out"}, 1920, false},
      {{"plumvane", "--Image", "pic.jpg", "out"}, 1920, false},
      {{"plumvane", "v", "o", "--max", "640x"}, 1920, false},
      {{"plumvane", "v", "o", "--max", " 640"}, 1920, false},
      {{"plumvane", "v", "o", "--max", ""}, 1920, false},
      {{"plumvane", "v", "o", "--max", "+"}, 1920, false},
      {{"plumvane", "v", "o", "--max", "64.0"}, 1920, false},
      {{"plumvane", "v", "o", "--max", "9223372036854775808"}, 1920, false},
      {{"plumvane", "v", "o", "--max"}, 1920, false},
      {{"plumvane", "v", "o", "--max", "+640"}, 640, false},
      {{"plumvane", "v", "o", "--max", "-640"}, -640, false},
      {{"plumvane", "v", "o", "--max", "0"}, 0, false},
      {{"plumvane", "v", "o", "--max", "0007"}, 7, false},
      {{"plumvane", "v", "o", "--max", "9223372036854775807"}, INT64_MAX, false},
      {{"plumvane", "v", "o", "--max", "-9223372036854775808"}, INT64_MIN, false},
      {{"plumvane", "v", "o", "--max", "100", "--max", "200"}, 100, false},
      {{"plumvane", "v", "o", "--max", "x", "--max", "200"}, 1920, false},
      {{"plumvane", "--max", "o", "500"}, 1920, false},
      {{"plumvane", "v", "--max", "500"}, 500, false},
      {{"plumvane", "v", "o", "--person"}, 1920, true},
      {{"plumvane", "v", "o", "--person", "--max", "5"}, 5, true},
      {{"plumvane", "v", "o", "--max", "5", "--person"}, 5, true},
      {{"plumvane", "--person", "o"}, 1920, true},
      {{"plumvane", "v", "--person"}, 1920, true},
      {{"plumvane", "v", "o", "--Person"}, 1920, false},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& arg : c.args) line += " \"" + arg + "\"";
    const Command command = parseCommand(c.args, true);
    ASSERT_TRUE(std::holds_alternative<RunSettings>(command)) << line;
    const RunSettings& s = std::get<RunSettings>(command);
    EXPECT_EQ(s.input, c.args[1]) << line;
    EXPECT_EQ(s.outDir, c.args[2]) << line;
    EXPECT_EQ(s.maxSide, c.maxSide) << line;
    EXPECT_EQ(s.usePerson, c.person) << line;
  }
  // Without the subject model video mode takes the person model.
  EXPECT_TRUE(std::get<RunSettings>(parseCommand({"plumvane", "v", "o"}, false)).usePerson);
}

}  // namespace
}  // namespace plumvane
