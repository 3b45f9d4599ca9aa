// The person service. The selfie model sees its input at 256 x 256 and is made for people near
// the camera: on a whole wide shot it finds few people and blurs them into the ground. So the
// people are found first, and each one who is small in the picture is segmented on a crop
// around them, where they fill the model's view; people near the camera keep the whole-picture
// map, which is right for them.
#include <algorithm>
#include <cmath>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#include <utility>

#include "platform/vision/mask_refinement.h"
#include "platform/vision/onnx_model.h"
#include "platform/vision/people/people_detector.h"
#include "platform/vision/people/people_tracker.h"
#include "platform/vision/people/person_model.h"

namespace plumvane {
namespace {

// A person whose crop would cover this share of the picture or more is near the camera.
constexpr float closeUpShare = 0.4f;
// People shorter than this (pixels) are too small to segment. A picture gets fewestCrops crops
// per cropArea pixels of it, and at most mostCrops; beyond that, the least sure people of a
// crowd go without. A wide picture holds more people at a size the detector finds: a crowd
// of 22 at 1280 x 720 was covered 0.51 with 12 crops and 0.78 with 24. On a street of 768 x 576
// more crops only take in the least sure people, and the matte flickers on them.
constexpr float leastHeight = 12;
constexpr size_t fewestCrops = 12, mostCrops = 24;
constexpr double cropArea = 768 * 576;
// Two crops are one when sameCrop of the smaller lies in the larger, the smaller is at least
// alikeCrops of the larger, and together they are at most widestMerge times the larger: a small
// person behind a tall one keeps a crop of their own, where they fill the model's view, and in a
// crowd merged crops do not grow into one another.
constexpr double sameCrop = 0.6, widestMerge = 1.3;
constexpr double alikeCrops = 0.5;
// A crop's map is dropped unless at least sureShare of what it calls person is at least
// sureValue, and it calls person less than fullestShare of the crop.
constexpr double sureShare = 0.5;
constexpr float sureValue = 0.9f;
constexpr double fullestShare = 0.6;
// In a video the crops are segmented every segmentEvery-th frame, and on every frame the
// detector looks at; in between, each crop's map moves on with its people.
constexpr int segmentEvery = 2;

// A crop around one or more people, and how they move (pixels a frame).
struct Crop {
  cv::Rect rect;
  cv::Point2f velocity;
};

// Crops that mostly overlap (one person found twice, or people close together) are merged into
// one, which moves as its people do on average. Merging crops that overlap less would save
// passes, but the people in the merged crop fill less of the model's view: on a crowd of 22 at
// 1280 x 720, merging any two of which 0.6 of the smaller lay in the larger covered 0.75 of the
// people and the worst tenth 0.04; within the limits above, 0.79 and 0.11; merging only a crop
// that lies whole within another, 0.82 and 0.19, but a street clip took a quarter more processor
// time.
std::vector<Crop> merged(std::vector<Crop> crops) {
  for (bool again = true; again;) {
    again = false;
    for (size_t i = 0; i < crops.size() && !again; ++i) {
      for (size_t j = i + 1; j < crops.size() && !again; ++j) {
        const cv::Rect &a = crops[i].rect, &b = crops[j].rect;
        const double smaller = std::min(a.area(), b.area()), larger = std::max(a.area(), b.area());
        if (smaller >= alikeCrops * larger && (a & b).area() >= sameCrop * smaller &&
            (a | b).area() <= widestMerge * larger) {
          crops[i] = {a | b, (crops[i].velocity + crops[j].velocity) / 2};
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

// A crop's map is cut off where the crop ends, and where someone else reaches over that border
// the map is still high there: laid as it is, the border would show as a straight edge. So each
// border of a crop that lies inside the picture fades the map to nothing over the last
// fadeShare of the crop's size; whoever it cuts is segmented whole in their own crop.
constexpr float fadeShare = 0.08f;

// Fades the map of the part `inside` of a crop now at `at` towards the crop's borders that lay
// within `frame` where it was segmented, at `was`: a border at the picture's edge cuts nobody.
void fadeBorders(cv::Mat& map, const cv::Rect& was, const cv::Rect& at, const cv::Rect& inside,
                 const cv::Rect& frame) {
  const float fx = std::max(2.0f, fadeShare * float(at.width));
  const float fy = std::max(2.0f, fadeShare * float(at.height));
  const bool left = was.x > frame.x, right = was.br().x < frame.br().x;
  const bool top = was.y > frame.y, bottom = was.br().y < frame.br().y;
  std::vector<float> across(size_t(map.cols));
  for (int x = 0; x < map.cols; ++x) {
    const float ax = float(inside.x + x - at.x) + 0.5f, bx = float(at.br().x - inside.x - x) - 0.5f;
    across[size_t(x)] = std::min({1.0f, left ? ax / fx : 1.0f, right ? bx / fx : 1.0f});
  }
  for (int y = 0; y < map.rows; ++y) {
    const float ay = float(inside.y + y - at.y) + 0.5f, by = float(at.br().y - inside.y - y) - 0.5f;
    const float down = std::min({1.0f, top ? ay / fy : 1.0f, bottom ? by / fy : 1.0f});
    float* row = map.ptr<float>(y);
    for (int x = 0; x < map.cols; ++x) row[x] *= std::min(down, across[size_t(x)]);
  }
}

// Where people can be: 1 within each person's box grown by reachShare of their height on each
// side, fading to 0 over as much again. The crops hold more than their people (the ground between
// them, a car, a painted line); what the model calls person there is not taken. A tighter reach
// (0.08) cut off a hundredth of the walkers on a street, whose boxes are carried between looks.
constexpr float reachShare = 0.25f;

cv::Mat nearPeople(const std::vector<TrackedPerson>& people, int width, int height) {
  cv::Mat near(height, width, CV_32F, cv::Scalar(0));
  const cv::Rect frame(0, 0, width, height);
  for (const TrackedPerson& p : people) {
    const cv::Rect2f& b = p.person.box;
    const float reach = std::max(2.0f, reachShare * b.height);
    const cv::Rect2f core(b.x - reach, b.y - reach, b.width + 2 * reach, b.height + 2 * reach);
    const cv::Rect outer = enclosing(cv::Point2f(core.x - reach, core.y - reach),
                                     cv::Point2f(core.br().x + reach, core.br().y + reach)) &
                           frame;
    for (int y = outer.y; y < outer.br().y; ++y) {
      const float cy = float(y) + 0.5f;
      const float dy = std::max({0.0f, core.y - cy, cy - core.br().y});
      float* row = near.ptr<float>(y);
      for (int x = outer.x; x < outer.br().x; ++x) {
        const float cx = float(x) + 0.5f;
        const float dx = std::max({0.0f, core.x - cx, cx - core.br().x});
        row[x] = std::max(row[x], std::max(0.0f, 1.0f - std::max(dx, dy) / reach));
      }
    }
  }
  return near;
}

// Within a person's box the map is believed more readily: the odds it gives a pixel of being
// person are multiplied by boxOdds, fading to 1 over the box's outer reachShare / 4 of its height.
// In a crowded crop the model often sees a person only faintly; the ground within the box stays
// dark unless the model leans to person there. On a crowd of 22 at 1280 x 720 (40 frames) this
// took the people covered from 0.81 to 0.84 and the worst tenth from 0.15 to 0.20, and the ground
// lit from 0.0023 to 0.0036; on a street, the walkers covered and the matte on them moved by 0.003.
constexpr float boxOdds = 2;

void believeWithin(cv::Mat& map, const std::vector<TrackedPerson>& people) {
  cv::Mat within(map.size(), CV_32F, cv::Scalar(0));
  const cv::Rect frame(0, 0, map.cols, map.rows);
  for (const TrackedPerson& p : people) {
    const cv::Rect2f& b = p.person.box;
    const float fade = std::max(2.0f, reachShare / 4 * b.height);
    const cv::Rect box = enclosing(b) & frame;
    for (int y = box.y; y < box.br().y; ++y) {
      const float cy = float(y) + 0.5f;
      const float dy = std::min(cy - b.y, b.br().y - cy);
      float* row = within.ptr<float>(y);
      for (int x = box.x; x < box.br().x; ++x) {
        const float cx = float(x) + 0.5f;
        const float d = std::min({cx - b.x, b.br().x - cx, dy});
        row[x] = std::max(row[x], std::clamp(d / fade, 0.0f, 1.0f));
      }
    }
  }
  for (int y = 0; y < map.rows; ++y) {
    float* row = map.ptr<float>(y);
    const float* w = within.ptr<float>(y);
    for (int x = 0; x < map.cols; ++x) {
      if (w[x] <= 0) continue;
      const float odds = 1 + (boxOdds - 1) * w[x];
      row[x] = row[x] * odds / (row[x] * odds + 1 - row[x]);
    }
  }
}

// A crop is grown by growShare of its size beyond each border inside the picture along which its
// map calls person at least litBorder of the border's pixels outside every other crop.
constexpr float growShare = 0.5f;
constexpr double litBorder = 0.1;

cv::Rect grownToFit(const Mask& map, const std::vector<cv::Rect>& crops, size_t self, int width,
                    int height) {
  const cv::Rect r = crops[self];
  const cv::Mat m(map.height, map.width, CV_32F, const_cast<float*>(map.values.data()));
  // The share of a line of the map (x0, y0 to x1, y1, inclusive, in the crop) that is lit where
  // no other crop is.
  const auto litAlong = [&](int x0, int y0, int x1, int y1) {
    int lit = 0, all = 0;
    for (int y = y0; y <= y1; ++y) {
      for (int x = x0; x <= x1; ++x, ++all) {
        if (m.at<float>(y, x) < 0.5f) continue;
        const cv::Point at(r.x + x, r.y + y);
        bool elsewhere = false;
        for (size_t j = 0; j < crops.size() && !elsewhere; ++j) {
          elsewhere = j != self && crops[j].contains(at);
        }
        lit += elsewhere ? 0 : 1;
      }
    }
    return all > 0 ? double(lit) / all : 0.0;
  };
  const int dx = int(std::ceil(growShare * float(r.width)));
  const int dy = int(std::ceil(growShare * float(r.height)));
  int left = r.x, top = r.y, right = r.br().x, bottom = r.br().y;
  if (r.x > 0 && litAlong(0, 0, 0, m.rows - 1) >= litBorder) left -= dx;
  if (r.br().x < width && litAlong(m.cols - 1, 0, m.cols - 1, m.rows - 1) >= litBorder) right += dx;
  if (r.y > 0 && litAlong(0, 0, m.cols - 1, 0) >= litBorder) top -= dy;
  if (r.br().y < height && litAlong(0, m.rows - 1, m.cols - 1, m.rows - 1) >= litBorder)
    bottom += dy;
  return cv::Rect(cv::Point(left, top), cv::Point(right, bottom)) & cv::Rect(0, 0, width, height);
}

class OnnxPeople : public PersonSegmenter {
 public:
  explicit OnnxPeople(const PeopleModels& models)
      : segmentation_(models.segmentation, 1), detector_(models) {}

  std::optional<Mask> personMask(const BitmapView& picture) override {
    std::vector<TrackedPerson> people;
    for (const PersonBox& b : detector_.find(picture)) people.push_back({b, {0, 0}});
    return maskOf(picture, people, true);
  }

  std::optional<Mask> frameMask(const BitmapView& frame) override {
    const bool detect = tracker_.nextFrame(frame);
    if (detect) tracker_.detected(detector_.find(frame));
    ++sinceSegmented_;
    return maskOf(frame, tracker_.people(), detect || sinceSegmented_ >= segmentEvery);
  }

 private:
  // A crop's map at the crop's size, as it was last segmented.
  struct CropMap {
    Crop crop;
    Mask map;
  };

  // The whole picture's map when nobody was found, or somebody near the camera: it is right for
  // them (and when the detector missed everyone, it is the best there is). Then the map of a crop
  // around each person further away, laid over it: segmented afresh, or else the last maps moved
  // on with their people.
  std::optional<Mask> maskOf(const BitmapView& picture, const std::vector<TrackedPerson>& people,
                             bool segmentCrops) {
    const int W = picture.width, H = picture.height;
    const size_t cropsAllowed = std::clamp(
        size_t(double(fewestCrops) * double(W) * double(H) / cropArea), fewestCrops, mostCrops);
    std::vector<Crop> crops;
    bool closeUp = people.empty();
    for (const TrackedPerson& p : people) {
      const cv::Rect crop = cropAround(p.person.box, W, H);
      if (float(crop.area()) >= closeUpShare * float(W) * float(H)) {
        closeUp = true;
      } else if (p.person.box.height >= leastHeight && crops.size() < cropsAllowed &&
                 !crop.empty()) {
        crops.push_back({crop, p.velocity});
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
    if (segmentCrops) {
      cropMaps_ = segmented(picture, merged(std::move(crops)));
      sinceSegmented_ = 0;
    }
    cv::Mat result(H, W, CV_32F, mask.values.data());
    const cv::Rect frame(0, 0, W, H);
    const cv::Mat near = nearPeople(people, W, H);
    for (const CropMap& c : cropMaps_) {
      const cv::Point2f step = c.crop.velocity * float(sinceSegmented_);
      const cv::Rect was = c.crop.rect;
      const cv::Rect moved = was + cv::Point(int(std::lround(step.x)), int(std::lround(step.y)));
      // A side that lay on the picture's edge stays on it: its people go on beyond it.
      const int left = was.x <= 0 ? std::max(0, moved.x) : 0;
      const int top = was.y <= 0 ? std::max(0, moved.y) : 0;
      const int right = was.br().x >= W ? std::max(0, W - moved.br().x) : 0;
      const int bottom = was.br().y >= H ? std::max(0, H - moved.br().y) : 0;
      const cv::Rect at(moved.x - left, moved.y - top, moved.width + left + right,
                        moved.height + top + bottom);
      const cv::Rect inside = at & frame;
      if (inside.empty()) continue;
      cv::Mat map(c.map.height, c.map.width, CV_32F, const_cast<float*>(c.map.values.data()));
      if (at != moved) cv::copyMakeBorder(map, map, top, bottom, left, right, cv::BORDER_REPLICATE);
      cv::Mat laid = map(inside - at.tl()).clone();
      fadeBorders(laid, c.crop.rect, at, inside, frame);
      laid = laid.mul(near(inside));
      cv::Mat area = result(inside);
      cv::max(area, laid, area);
    }
    believeWithin(result, people);
    return mask;
  }

  // The sure maps of the crops, each at its crop's size. A crop's map is refined against its
  // pixels when it is coarser than they are; a map at least as fine as the crop is already as
  // sharp as the crop can show. The crops run on all cores, one single-threaded inference each,
  // which keeps the cores busier than splitting each small inference across them.
  std::vector<CropMap> segmented(const BitmapView& picture, std::vector<Crop> crops) {
    std::vector<Mask> maps(crops.size());
    const auto segment = [&](const std::vector<size_t>& which) {
      cv::parallel_for_(cv::Range(0, int(which.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
          const size_t k = which[size_t(i)];
          const cv::Rect& r = crops[k].rect;
          std::optional<Mask> map = segmentation_.map(viewOf(picture, r));
          if (!map || !isSure(*map)) continue;
          const bool coarser = r.width > map->width || r.height > map->height;
          maps[k] = coarser ? refinedMask(viewOf(picture, r), *map)
                            : resizedMask(*map, r.width, r.height);
        }
      });
    };
    std::vector<size_t> all(crops.size()), grown;
    for (size_t k = 0; k < crops.size(); ++k) all[k] = k;
    segment(all);
    // A crop whose person goes on beyond one of its borders, where no other crop takes them in, is
    // grown that way and segmented once more.
    std::vector<cv::Rect> rects;
    for (const Crop& c : crops) rects.push_back(c.rect);
    for (size_t k = 0; k < crops.size(); ++k) {
      if (maps[k].isEmpty()) continue;
      const cv::Rect wider = grownToFit(maps[k], rects, k, picture.width, picture.height);
      if (wider != crops[k].rect) crops[k].rect = wider, grown.push_back(k);
    }
    std::vector<Mask> first;
    for (size_t k : grown) first.push_back(std::exchange(maps[k], Mask{}));
    segment(grown);
    for (size_t i = 0; i < grown.size(); ++i) {
      if (maps[grown[i]].isEmpty())
        crops[grown[i]].rect = rects[grown[i]], maps[grown[i]] = std::move(first[i]);
    }
    std::vector<CropMap> sure;
    for (size_t k = 0; k < crops.size(); ++k) {
      if (!maps[k].isEmpty()) sure.push_back({crops[k], std::move(maps[k])});
    }
    return sure;
  }

  // Whether the model is sure of what it found in a crop: most of what it calls person, it calls
  // so firmly, and it calls person less than fullestShare of the crop. Where the detector took a
  // post for a person, or a person who has left is still looked for, the model hesitates over a
  // shapeless patch; on a crop crowded with people at many sizes it may call the whole crop
  // person, ground and all.
  static bool isSure(const Mask& map) {
    const cv::Mat m(map.height, map.width, CV_32F, const_cast<float*>(map.values.data()));
    const int person = cv::countNonZero(m >= 0.5f);
    return cv::countNonZero(m >= sureValue) >= sureShare * person &&
           person < fullestShare * double(m.total());
  }

  SegmentationModel segmentation_;
  PeopleDetector detector_;
  PeopleTracker tracker_;
  std::vector<CropMap> cropMaps_;
  int sinceSegmented_ = 0;  // frames since cropMaps_ were segmented
};

}  // namespace

std::unique_ptr<PersonSegmenter> onnxPeople(const PeopleModels& models) {
  return std::make_unique<OnnxPeople>(models);
}

}  // namespace plumvane
