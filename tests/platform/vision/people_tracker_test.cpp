// Following people between detections: who is taken for someone found again, and who is carried
// when the detector misses them.
#include "platform/vision/people/people_tracker.h"

#include <gtest/gtest.h>

#include <vector>

namespace plumvane {
namespace {

// Steps the tracker through a still grey frame until the detector is to look again, then hands
// it the boxes found there; returns the frame's number.
int detectAt(PeopleTracker& tracker, const std::vector<PersonBox>& found) {
  static const std::vector<uint8_t> grey(640 * 360 * 4, 128);
  const BitmapView frame{grey.data(), 640, 360, 640 * 4, BitmapView::Order::bgra};
  static int frames = 0;
  while (!tracker.nextFrame(frame)) ++frames;
  tracker.detected(found);
  return frames++;
}

PersonBox boxAt(float x, float y, float width, float height) {
  return {{x, y, width, height}, 0.5f};
}

// A scene's first frame and the first after a cut are looked at afresh, by the detector's float
// model; the frames of a scene whose people are followed, at its cadence, again.
TEST(PeopleTracker, LooksAfreshAtEachSceneAndAgainWithinIt) {
  const std::vector<uint8_t> grey(640 * 360 * 4, 128), dark(640 * 360 * 4, 20);
  const BitmapView scene{grey.data(), 640, 360, 640 * 4, BitmapView::Order::bgra};
  const BitmapView cut{dark.data(), 640, 360, 640 * 4, BitmapView::Order::bgra};
  PeopleTracker tracker;
  EXPECT_EQ(tracker.nextFrame(scene), Look::first);
  tracker.detected({boxAt(100, 100, 40, 140)});
  std::vector<std::optional<Look>> looks;
  for (int f = 1; f <= 6; ++f) looks.push_back(tracker.nextFrame(scene));
  const std::optional<Look> none;
  EXPECT_EQ(looks, (std::vector<std::optional<Look>>{none, none, none, none, none, Look::again}));
  tracker.detected({boxAt(100, 100, 40, 140)});
  EXPECT_EQ(tracker.nextFrame(cut), Look::first);
}

TEST(PeopleTracker, TakesASmallWalkerFoundAgainForTheSamePerson) {
  PeopleTracker tracker;
  const int first = detectAt(tracker, {boxAt(100, 100, 20, 70), boxAt(400, 100, 40, 140)});
  // Six frames on, the small walker has moved 12 pixels, more than half their width: their
  // boxes overlap too little to be matched by overlap alone. The tall one's box has gone further
  // than anyone walks in six frames: it is someone else, and the tall one, seen once, is dropped.
  const int second = detectAt(tracker, {boxAt(112, 100, 20, 70), boxAt(300, 100, 40, 140)});
  ASSERT_EQ(second - first, 6);
  const std::vector<TrackedPerson> people = tracker.people();
  ASSERT_EQ(people.size(), 2u) << "someone carried as missed";
  EXPECT_FLOAT_EQ(people[0].person.box.x, 112);
  EXPECT_NEAR(people[0].velocity.x, 2, 1e-4);
  EXPECT_FLOAT_EQ(people[1].person.box.x, 300);
  EXPECT_EQ(people[1].velocity, cv::Point2f(0, 0));
}

TEST(PeopleTracker, CarriesOnlySomeoneFoundTwiceWhoIsThenMissed) {
  PeopleTracker tracker;
  detectAt(tracker, {boxAt(100, 100, 40, 140), boxAt(400, 100, 40, 140)});
  // The second box is not found again: a box seen once is not carried ...
  detectAt(tracker, {boxAt(106, 100, 40, 140)});
  ASSERT_EQ(tracker.people().size(), 1u);
  // ... but the first, found twice, is carried on where they were heading when missed.
  detectAt(tracker, {});
  const std::vector<TrackedPerson> people = tracker.people();
  ASSERT_EQ(people.size(), 1u);
  EXPECT_NEAR(people[0].person.box.x, 112, 1e-3);
}

PersonBox unsureAt(float x, float y, float width, float height) {
  return {{x, y, width, height}, 0.2f, false};
}

// A box the detector is unsure of holds someone followed where it lies, as long as someone
// missed is carried, and never starts anyone.
TEST(PeopleTracker, AnUnsureBoxOnlyHoldsSomeoneFollowed) {
  PeopleTracker tracker;
  detectAt(tracker, {boxAt(100, 100, 40, 140), boxAt(400, 100, 40, 140)});
  detectAt(tracker,
           {boxAt(106, 100, 40, 140), unsureAt(400, 100, 40, 140), unsureAt(250, 100, 40, 140)});
  // Nobody is taken on the unsure boxes: the second person was found once, and nobody was
  // expected at 250.
  ASSERT_EQ(tracker.people().size(), 1u);
  // Half hidden, the first is found unsure, behind where they were heading: they stay there.
  detectAt(tracker, {unsureAt(108, 100, 40, 140)});
  ASSERT_EQ(tracker.people().size(), 1u);
  EXPECT_NEAR(tracker.people()[0].person.box.x, 108, 1e-3);
  // Unsure again and again, they are let go as someone missed is.
  detectAt(tracker, {unsureAt(108, 100, 40, 140)});
  detectAt(tracker, {unsureAt(108, 100, 40, 140)});
  EXPECT_TRUE(tracker.people().empty());
}

}  // namespace
}  // namespace plumvane
