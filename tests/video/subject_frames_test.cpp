// The subject path's frames between two model looks, on a scripted model.
#include "video/subject_frames.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

namespace plumvane {
namespace {

// Its map of a frame is the frame's brightness at 64 x 64; it counts how often it is asked.
// The instances of a map are the map itself, so each frame's mask shows which map it got.
class ScriptedModel : public SubjectSegmenter {
 public:
  int looks = 0;
  std::vector<Mask> instanceMasks(const BitmapView&) override { return {}; }
  std::optional<Mask> modelMap(const BitmapView& frame) override {
    ++looks;
    const cv::Mat bgra(frame.height, frame.width, CV_8UC4, const_cast<uint8_t*>(frame.pixels),
                       frame.rowBytes);
    cv::Mat grey, small;
    cv::cvtColor(bgra, grey, cv::COLOR_BGRA2GRAY);
    cv::resize(grey, small, cv::Size(64, 64), 0, 0, cv::INTER_AREA);
    Mask map{64, 64, std::vector<float>(64 * 64)};
    for (int i = 0; i < 64 * 64; ++i)
      map.values[size_t(i)] = small.at<uint8_t>(i / 64, i % 64) / 255.f;
    return map;
  }
  std::optional<Mask> allInstances(const BitmapView&) override { return std::nullopt; }
  std::optional<Mask> frameInstances(const BitmapView&, Mask map) override { return map; }
};

// A 256 x 256 frame, dark, with a bright square of side `side` at (x, y).
cv::Mat frameWithSquare(int x, int y, int side, uint8_t ground = 0) {
  cv::Mat frame(256, 256, CV_8UC4, cv::Scalar(ground, ground, ground, 255));
  frame(cv::Rect(x, y, side, side)).setTo(cv::Scalar(255, 255, 255, 255));
  return frame;
}

// The centre of a mask's lit part (>= 0.5), in map pixels.
cv::Point2f centreOf(const Mask& mask) {
  cv::Point2f sum(0, 0);
  int n = 0;
  for (int i = 0; i < int(mask.values.size()); ++i) {
    if (mask.values[size_t(i)] < 0.5f) continue;
    sum += cv::Point2f(float(i % mask.width), float(i / mask.width));
    ++n;
  }
  return n ? sum / float(n) : cv::Point2f(-1, -1);
}

// The masks of the frames in the order emitted, and how often the model looked.
std::pair<std::vector<std::optional<Mask>>, int> run(const std::vector<cv::Mat>& frames) {
  ScriptedModel model;
  std::vector<std::optional<Mask>> masks;
  SubjectFrames subjectFrames(model, [&](std::optional<Mask> m) { masks.push_back(std::move(m)); });
  for (const cv::Mat& f : frames) subjectFrames.add(f.clone());
  subjectFrames.finish();
  return {masks, model.looks};
}

TEST(SubjectFrames, FramesBetweenAgreeingLooksAreCarriedAndTheRestAreLookedAt) {
  // A large square with a soft edge, as a camera blurs it, moving slowly: every other frame is
  // looked at, then every third once two looks agreed, and the frames between hold their square
  // where it is (the blend of their neighbours' maps).
  std::vector<cv::Mat> slow;
  for (int f = 0; f < 9; ++f) {
    cv::Mat frame = frameWithSquare(16 + f, 32, 192);
    cv::GaussianBlur(frame, frame, cv::Size(), 3);
    slow.push_back(frame);
  }
  auto [masks, looks] = run(slow);
  ASSERT_EQ(masks.size(), slow.size());
  EXPECT_EQ(looks, 4);  // frames 0, 2, 5 and 8
  for (size_t f = 0; f < masks.size(); ++f) {
    ASSERT_TRUE(masks[f]);
    EXPECT_NEAR(centreOf(*masks[f]).x, (112.0f + float(f)) / 4 - 0.5f, 0.6f) << f;
  }

  // A small square leaping across the frame: the pictures hardly differ, but the maps on either
  // side of a frame disagree, so the model looks at every frame and each keeps its own square.
  std::vector<cv::Mat> leaps;
  for (int f = 0; f < 5; ++f) leaps.push_back(frameWithSquare(f % 2 ? 176 : 16, 112, 32));
  std::tie(masks, looks) = run(leaps);
  ASSERT_EQ(masks.size(), leaps.size());
  EXPECT_EQ(looks, 5);
  for (size_t f = 0; f < masks.size(); ++f) {
    EXPECT_NEAR(centreOf(*masks[f]).x, f % 2 ? 47.5f : 7.5f, 0.6f) << f;
  }

  // A cut to a bright scene: the frame after it is looked at at once, never carried from the
  // dark one; a last frame held back is looked at when the clip ends.
  std::vector<cv::Mat> cut = {frameWithSquare(16, 64, 128), frameWithSquare(16, 64, 128, 200),
                              frameWithSquare(16, 64, 128, 200)};
  std::tie(masks, looks) = run(cut);
  ASSERT_EQ(masks.size(), cut.size());
  EXPECT_EQ(looks, 3);
  EXPECT_GT(masks[1]->values[0], 0.7f);
  EXPECT_GT(masks[2]->values[0], 0.7f);
}

}  // namespace
}  // namespace plumvane
