#include "platform/vision/people/people_tracker.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <opencv2/imgproc.hpp>

#include "platform/image/thumbnail.h"

namespace plumvane {
namespace {

// The detector looks at every detectEvery-th frame; a person it has found twice and then misses
// is still looked for for this many detections.
constexpr int detectEvery = 6;
constexpr int keptWhenMissed = 2;
// A new box this close to where a person was expected (IoU) is the same person found again.
constexpr float samePerson = 0.3f;
// The picture is compared with the one at the last detection at this size; a mean difference
// of more than sharpChange levels is a new scene, looked at at once.
constexpr int thumbnailWidth = 96;
constexpr double sharpChange = 12;
// Something moving where nobody is followed (someone coming in, or out from behind another) is
// looked at soonest this many frames after the last detection: so on a moving camera, where
// everything moves, the detector runs no more often than this. Moving is a change of more than
// movingLevel between frames in at least movingArea pixels of the thumbnail.
constexpr int soonestDetection = 3;
constexpr int movingLevel = 20;
constexpr int movingArea = 10;
// A crop reaches this share of the person's width beyond each side, and of their height above
// and below: enough room for arms and a step, and for the person to move while their box is
// carried from an earlier frame.
constexpr float sideMargin = 0.5f;
constexpr float endMargin = 0.1f;
// A person is not taken to move more than this share of their box's height in a frame: a larger
// step between detections is two people taken for one.
constexpr float fastestStep = 0.1f;
// A new box is taken for a person of much its height, within this factor, near it.
constexpr float likeHeight = 1.25f;
// A box the detector is unsure of is the person expected to overlap it this much (IoU).
constexpr float unsureSamePerson = 0.5f;

cv::Rect2f movedBy(const cv::Rect2f& box, cv::Point2f step) {
  return {box.x + step.x, box.y + step.y, box.width, box.height};
}

cv::Point2f centreOf(const cv::Rect2f& box) {
  return {box.x + box.width / 2, box.y + box.height / 2};
}

}  // namespace

cv::Rect cropAround(const cv::Rect2f& box, int width, int height) {
  const float dx = box.width * sideMargin, dy = box.height * endMargin;
  const cv::Rect2f grown(box.x - dx, box.y - dy, box.width + 2 * dx, box.height + 2 * dy);
  return enclosing(grown) & cv::Rect(0, 0, width, height);
}

std::optional<Look> PeopleTracker::nextFrame(const BitmapView& frame) {
  ++frame_;
  const cv::Mat bgra(frame.height, frame.width, CV_8UC4, const_cast<uint8_t*>(frame.pixels),
                     frame.rowBytes);
  cv::Mat previous;
  std::swap(previous, thumbnail_);
  thumbnail_ = greyThumbnail(bgra, std::min(thumbnailWidth, frame.width));
  if (frame_ == 0 || previous.size() != thumbnail_.size() ||
      lastThumbnail_.size() != thumbnail_.size() ||
      cv::norm(thumbnail_, lastThumbnail_, cv::NORM_L1) / double(thumbnail_.total()) >
          sharpChange) {
    return Look::first;
  }
  if (frame_ - lastDetection_ >= detectEvery ||
      (frame_ - lastDetection_ >= soonestDetection &&
       movesWhereNobodyIs(previous, frame.width, frame.height))) {
    return Look::again;
  }
  return std::nullopt;
}

bool PeopleTracker::movesWhereNobodyIs(const cv::Mat& previous, int width, int height) const {
  cv::Mat moving;
  cv::absdiff(thumbnail_, previous, moving);
  moving = moving > movingLevel;
  const double sx = double(moving.cols) / width, sy = double(moving.rows) / height;
  for (const TrackedPerson& p : people()) {
    const cv::Rect crop = cropAround(p.person.box, width, height);
    const cv::Rect small = enclosing(cv::Point2d(crop.x * sx, crop.y * sy),
                                     cv::Point2d(crop.br().x * sx, crop.br().y * sy));
    moving(small & cv::Rect(0, 0, moving.cols, moving.rows)).setTo(0);
  }
  return cv::countNonZero(moving) >= movingArea;
}

void PeopleTracker::detected(const std::vector<PersonBox>& found) {
  std::vector<Track> next;
  std::vector<bool> followed(tracks_.size(), false);
  std::vector<size_t> matchOf(found.size(), tracks_.size());
  const auto expectedOf = [&](const Track& t) {
    return movedBy(t.person.box, t.velocity * float(frame_ - t.seenAt));
  };
  // A person found twice is carried while the detector misses them, for a few detections.
  const auto carried = [](const Track& t) { return t.found > 1 && t.missed < keptWhenMissed; };
  // Matches each sure (or unsure) box to the person expected that overlaps it most, by more than
  // `least`, among those not matched yet whom `may` allows.
  const auto matchByOverlap = [&](bool sure, float least, auto may) {
    for (size_t n = 0; n < found.size(); ++n) {
      if (found[n].sure != sure) continue;
      float best = least;
      for (size_t i = 0; i < tracks_.size(); ++i) {
        const float overlap = overlapOf(found[n].box, expectedOf(tracks_[i]));
        if (overlap > best && !followed[i] && may(tracks_[i])) best = overlap, matchOf[n] = i;
      }
      if (matchOf[n] < tracks_.size()) followed[matchOf[n]] = true;
    }
  };
  // Each new box is first the person expected nearest it, if any is near enough ...
  matchByOverlap(true, samePerson, [](const Track&) { return true; });
  // ... then a box still new is the person of much its height nearest it who could have walked
  // there since they were seen (a person first seen has no speed yet: a small one walking soon
  // overlaps their old box too little). Else a person found again is also carried as missed,
  // and takes a crop from someone the detector did miss.
  for (size_t n = 0; n < found.size(); ++n) {
    if (matchOf[n] < tracks_.size() || !found[n].sure) continue;
    const cv::Rect2f& b = found[n].box;
    float nearest = std::numeric_limits<float>::max();
    for (size_t i = 0; i < tracks_.size(); ++i) {
      const cv::Rect2f expected = expectedOf(tracks_[i]);
      const float reach = fastestStep * b.height * float(frame_ - tracks_[i].seenAt);
      const float distance = float(cv::norm(centreOf(b) - centreOf(expected)));
      const float tall = b.height / expected.height;
      if (!followed[i] && distance <= reach && distance < nearest && tall >= 1 / likeHeight &&
          tall <= likeHeight) {
        nearest = distance, matchOf[n] = i;
      }
    }
    if (matchOf[n] < tracks_.size()) followed[matchOf[n]] = true;
  }
  // ... and an unsure box is only ever a person followed, expected where it lies, whom no sure
  // box is, and carries them on there as a missed person is carried: a box the detector is unsure
  // of again and again may be a shape like a person where one has gone.
  matchByOverlap(false, unsureSamePerson, carried);
  for (size_t n = 0; n < found.size(); ++n) {
    if (!found[n].sure && matchOf[n] == tracks_.size()) continue;
    const PersonBox& b = found[n];
    Track track{b, {0, 0}, frame_, 0, 1};
    if (matchOf[n] < tracks_.size()) {
      const Track& t = tracks_[matchOf[n]];
      // An unsure box finds nobody: the person it holds is carried on there as missed.
      track.found = b.sure ? t.found + 1 : t.found;
      track.missed = b.sure ? 0 : t.missed + 1;
      const cv::Point2f step = (centreOf(b.box) - centreOf(t.person.box)) /
                               float(std::max<int64_t>(1, frame_ - t.seenAt));
      if (std::hypot(step.x, step.y) <= fastestStep * b.box.height) track.velocity = step;
    }
    next.push_back(track);
  }
  for (size_t i = 0; i < tracks_.size(); ++i) {
    if (!followed[i] && carried(tracks_[i])) {
      next.push_back(tracks_[i]);
      ++next.back().missed;
    }
  }
  tracks_ = std::move(next);
  lastDetection_ = frame_;
  thumbnail_.copyTo(lastThumbnail_);
}

std::vector<TrackedPerson> PeopleTracker::people() const {
  std::vector<TrackedPerson> all;
  for (const Track& t : tracks_) {
    const cv::Point2f moved = t.velocity * float(frame_ - t.seenAt);
    all.push_back({{movedBy(t.person.box, moved), t.person.score}, t.velocity});
  }
  return all;
}

}  // namespace plumvane
