// The person service. The selfie model sees its input at 256 x 256 and is made for people near
// the camera: on a whole wide shot it finds few people and blurs them into the ground. So the
// people are found first, and each one who is small in the picture is segmented on a crop
// around them, where they fill the model's view; people near the camera keep the whole-picture
// map, which is right for them.
#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "platform/vision/mask_refinement.h"
#include "platform/vision/onnx_model.h"
#include "platform/vision/people/people_detector.h"
#include "platform/vision/people/person_model.h"

namespace plumvane {
namespace {

// A person whose crop would cover this share of the picture or more is near the camera.
constexpr float closeUpShare = 0.4f;
// A crop reaches this share of the person's width beyond each side, and of their height above
// and below: enough room for arms and a step, and for the person to move while their box is
// carried from an earlier frame.
constexpr float sideMargin = 0.5f;
constexpr float endMargin = 0.1f;
// People shorter than this (pixels) are too small to segment; beyond this many crops, the least
// sure people of a crowd go without.
constexpr float leastHeight = 12;
constexpr size_t mostCrops = 12;
// Two crops are one when this share of the smaller lies in the larger.
constexpr double sameCrop = 0.6;
// In a video the detector runs on every third frame, and a person it misses is still looked for
// where they were for this many detections.
constexpr int detectEvery = 3;
constexpr int keptWhenMissed = 2;
// A crop's map is dropped unless at least this share of what it calls person is at least
// sureValue.
constexpr double sureShare = 0.5;
constexpr float sureValue = 0.9f;
// A new box this close to an earlier one (IoU) is the same person found again.
constexpr float samePerson = 0.3f;

cv::Rect cropAround(const cv::Rect2f& box, int width, int height) {
  const float dx = box.width * sideMargin, dy = box.height * endMargin;
  const cv::Rect2f grown(box.x - dx, box.y - dy, box.width + 2 * dx, box.height + 2 * dy);
  const cv::Rect whole(cv::Point(int(std::floor(grown.x)), int(std::floor(grown.y))),
                       cv::Point(int(std::ceil(grown.br().x)), int(std::ceil(grown.br().y))));
  return whole & cv::Rect(0, 0, width, height);
}

// Crops that mostly overlap (one person found twice, or people close together) are merged into
// one. Merging crops that overlap less would save passes, but the people in the merged crop
// fill less of the model's view: on a street clip, merging any two whose union is at most 1.3
// times their area took a tenth of the time off and a fiftieth of the walkers out.
std::vector<cv::Rect> merged(std::vector<cv::Rect> crops) {
  for (bool again = true; again;) {
    again = false;
    for (size_t i = 0; i < crops.size() && !again; ++i) {
      for (size_t j = i + 1; j < crops.size() && !again; ++j) {
        const cv::Rect both = crops[i] | crops[j];
        const double smaller = std::min(crops[i].area(), crops[j].area());
        if ((crops[i] & crops[j]).area() >= sameCrop * smaller) {
          crops[i] = both;
          crops.erase(crops.begin() + std::ptrdiff_t(j));
          again = true;
        }
      }
    }
  }
  return crops;
}

BitmapView viewOf(const BitmapView& picture, const cv::Rect& r) {
  return partOf(picture, r.x, r.y, r.width, r.height);
}

// People seen in recent frames of a video: a new detection replaces the box it overlaps, and a
// person not found again is kept for a few detections before being let go.
class RecentPeople {
 public:
  void update(const std::vector<PersonBox>& found) {
    std::vector<Seen> next;
    for (const PersonBox& b : found) next.push_back({b, 0});
    for (const Seen& s : seen_) {
      const bool foundAgain = std::any_of(found.begin(), found.end(), [&](const PersonBox& b) {
        return overlapOf(b.box, s.person.box) > samePerson;
      });
      if (!foundAgain && s.missed < keptWhenMissed) next.push_back({s.person, s.missed + 1});
    }
    seen_ = std::move(next);
  }

  std::vector<PersonBox> people() const {
    std::vector<PersonBox> all;
    for (const Seen& s : seen_) all.push_back(s.person);
    return all;
  }

 private:
  struct Seen {
    PersonBox person;
    int missed;  // detections since it was last found
  };
  std::vector<Seen> seen_;
};

class OnnxPeople : public PersonSegmenter {
 public:
  explicit OnnxPeople(const PeopleModels& models)
      : segmentation_(models.segmentation, 1), detector_(models) {}

  std::optional<Mask> personMask(const BitmapView& picture) override {
    return maskOf(picture, detector_.find(picture));
  }

  std::optional<Mask> frameMask(const BitmapView& frame) override {
    if (frames_++ % detectEvery == 0) recent_.update(detector_.find(frame));
    return maskOf(frame, recent_.people());
  }

 private:
  // The whole picture's map when nobody was found, or somebody near the camera: it is right for
  // them (and when the detector missed everyone, it is the best there is). Then the map of a crop
  // around each person further away, laid over it.
  std::optional<Mask> maskOf(const BitmapView& picture, const std::vector<PersonBox>& people) {
    const int W = picture.width, H = picture.height;
    std::vector<cv::Rect> crops;
    bool closeUp = people.empty();
    for (const PersonBox& person : people) {
      const cv::Rect crop = cropAround(person.box, W, H);
      if (float(crop.area()) >= closeUpShare * float(W) * float(H)) {
        closeUp = true;
      } else if (person.box.height >= leastHeight && crops.size() < mostCrops) {
        crops.push_back(crop);
      }
    }
    Mask mask;
    if (closeUp) {
      std::optional<Mask> whole = segmentation_.map(picture);
      if (!whole) return std::nullopt;
      mask = refinedMask(picture, *whole);
    } else {
      mask = Mask{W, H, std::vector<float>(size_t(W) * size_t(H), 0.0f)};
    }
    cv::Mat result(H, W, CV_32F, mask.values.data());
    // A crop's map is refined against its pixels when it is coarser than they are; a map at
    // least as fine as the crop is already as sharp as the crop can show.
    const auto layOver = [&](const cv::Rect& crop, const Mask& map) {
      const bool coarser = crop.width > map.width || crop.height > map.height;
      Mask cropMask = coarser ? refinedMask(viewOf(picture, crop), map)
                              : resizedMask(map, crop.width, crop.height);
      cv::Mat area = result(crop);
      cv::max(area, cv::Mat(crop.height, crop.width, CV_32F, cropMask.values.data()), area);
    };
    // The crops run on all cores, one single-threaded inference each, which keeps the cores
    // busier than splitting each small inference across them.
    crops = merged(std::move(crops));
    std::vector<Mask> maps(crops.size());
    cv::parallel_for_(cv::Range(0, int(crops.size())), [&](const cv::Range& range) {
      for (int k = range.start; k < range.end; ++k) {
        if (auto map = segmentation_.map(viewOf(picture, crops[size_t(k)]))) {
          maps[size_t(k)] = std::move(*map);
        }
      }
    });
    for (size_t k = 0; k < crops.size(); ++k) {
      if (!maps[k].isEmpty() && isSure(maps[k])) layOver(crops[k], maps[k]);
    }
    return mask;
  }

  // Whether the model is sure of what it found in a crop: most of what it calls person, it calls
  // so firmly. Where the detector took a post for a person, or a person who has left is still
  // looked for, the model hesitates over a shapeless patch.
  static bool isSure(const Mask& map) {
    const cv::Mat m(map.height, map.width, CV_32F, const_cast<float*>(map.values.data()));
    return cv::countNonZero(m >= sureValue) >= sureShare * cv::countNonZero(m >= 0.5f);
  }

  SegmentationModel segmentation_;
  PeopleDetector detector_;
  RecentPeople recent_;
  int64_t frames_ = 0;
};

}  // namespace

std::unique_ptr<PersonSegmenter> onnxPeople(const PeopleModels& models) {
  return std::make_unique<OnnxPeople>(models);
}

}  // namespace plumvane
