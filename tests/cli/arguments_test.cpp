#include "cli/arguments.h"

#include <gtest/gtest.h>

namespace plumvane {
namespace {

using Args = std::vector<std::string>;

RunSettings video(const Args& args, bool instanceMasks = true) {
  const Command command = parseCommand(args, instanceMasks);
  EXPECT_TRUE(std::holds_alternative<RunSettings>(command));
  return std::holds_alternative<RunSettings>(command) ? std::get<RunSettings>(command)
                                                      : RunSettings{};
}

TEST(Grammar, FewerThanTwoArgumentsAskForUsage) {
  EXPECT_TRUE(std::holds_alternative<UsageRequest>(parseCommand({"plumvane"}, true)));
  EXPECT_TRUE(std::holds_alternative<UsageRequest>(parseCommand({"plumvane", "a"}, true)));
  EXPECT_TRUE(std::holds_alternative<UsageRequest>(parseCommand({}, true)));
}

TEST(Grammar, ModeWordsNeedTwoFurtherArgumentsAndExactCase) {
  // With only two arguments a mode word is a video path.
  RunSettings s = video({"plumvane", "--image", "out"});
  EXPECT_EQ(s.input, "--image");
  EXPECT_EQ(s.outDir, "out");
  s = video({"plumvane", "--cutout", "out"});
  EXPECT_EQ(s.input, "--cutout");
  // Another case is no mode word.
  s = video({"plumvane", "--Image", "pic.jpg", "out"});
  EXPECT_EQ(s.input, "--Image");
  EXPECT_EQ(s.outDir, "pic.jpg");
}

TEST(Grammar, CutoutIgnoresEverythingAfterItsTwoPaths) {
  const Command command =
      parseCommand({"plumvane", "--cutout", "in.png", "out.png", "--max", "5", "--person"}, true);
  ASSERT_TRUE(std::holds_alternative<CutoutRequest>(command));
  EXPECT_EQ(std::get<CutoutRequest>(command).picture, "in.png");
  EXPECT_EQ(std::get<CutoutRequest>(command).target, "out.png");
}

TEST(Grammar, PosterTakesMaxWithDefault3000) {
  Command command = parseCommand({"plumvane", "--image", "p.jpg", "out"}, true);
  ASSERT_TRUE(std::holds_alternative<PosterRequest>(command));
  EXPECT_EQ(std::get<PosterRequest>(command).maxSide, 3000);
  EXPECT_EQ(std::get<PosterRequest>(command).picture, "p.jpg");
  EXPECT_EQ(std::get<PosterRequest>(command).outDir, "out");
  command = parseCommand({"plumvane", "--image", "p.jpg", "out", "--max", "640"}, true);
  EXPECT_EQ(std::get<PosterRequest>(command).maxSide, 640);
}

TEST(Grammar, VideoSettings) {
  const RunSettings s = video({"plumvane", "clip.mp4", "frames"});
  EXPECT_EQ(s.input, "clip.mp4");
  EXPECT_EQ(s.outDir, "frames");
  EXPECT_EQ(s.maxSide, 1920);
  EXPECT_FALSE(s.usePerson);
}

TEST(MaxValue, MalformedValuesKeepTheDefault) {
  for (const std::string bad : {"640x", " 640", "", "+", "64.0", "9223372036854775808"}) {
    EXPECT_EQ(video({"plumvane", "v", "o", "--max", bad}).maxSide, 1920) << '"' << bad << '"';
  }
  // --max as the last entry.
  EXPECT_EQ(video({"plumvane", "v", "o", "--max"}).maxSide, 1920);
}

TEST(MaxValue, SignsLimitsAndFirstOccurrence) {
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "+640"}).maxSide, 640);
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "-640"}).maxSide, -640);
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "0"}).maxSide, 0);
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "0007"}).maxSide, 7);
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "9223372036854775807"}).maxSide, INT64_MAX);
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "-9223372036854775808"}).maxSide, INT64_MIN);
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "100", "--max", "200"}).maxSide, 100);
  // The first --max decides even when its value is malformed.
  EXPECT_EQ(video({"plumvane", "v", "o", "--max", "x", "--max", "200"}).maxSide, 1920);
  // The search covers the whole list, the paths included.
  EXPECT_EQ(video({"plumvane", "--max", "o", "500"}).maxSide, 1920);
  EXPECT_EQ(video({"plumvane", "v", "--max", "500"}).maxSide, 500);
}

TEST(PersonFlag, AnywhereInTheList) {
  EXPECT_TRUE(video({"plumvane", "v", "o", "--person"}).usePerson);
  EXPECT_TRUE(video({"plumvane", "v", "o", "--person", "--max", "5"}).usePerson);
  EXPECT_TRUE(video({"plumvane", "v", "o", "--max", "5", "--person"}).usePerson);
  // In a path position it is still the path, and sets the flag all the same.
  const RunSettings s = video({"plumvane", "--person", "o"});
  EXPECT_EQ(s.input, "--person");
  EXPECT_TRUE(s.usePerson);
  EXPECT_TRUE(video({"plumvane", "v", "--person"}).usePerson);
  EXPECT_FALSE(video({"plumvane", "v", "o", "--Person"}).usePerson);
}

TEST(PersonFlag, ForcedWithoutInstanceMasks) {
  EXPECT_TRUE(video({"plumvane", "v", "o"}, /*instanceMasks=*/false).usePerson);
  EXPECT_FALSE(video({"plumvane", "v", "o"}, /*instanceMasks=*/true).usePerson);
}

}  // namespace
}  // namespace plumvane
