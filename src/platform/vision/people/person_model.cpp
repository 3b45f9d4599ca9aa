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
#include "platform/vision/people/crop_maps.h"
#include "platform/vision/people/people_detector.h"
#include "platform/vision/people/people_tracker.h"
#include "platform/vision/people/person_model.h"

namespace plumvane {
namespace {

// A person whose crop would cover this share of the picture or more is near the camera.
constexpr float closeUpShare = 0.4f;
// People shorter than this (pixels) are too small to segment. A picture gets cropsPerArea crops
// per cropArea pixels of it, at least fewestCrops and at most mostCrops; beyond that, the least
// sure people of a crowd go without. A wide picture holds more people at a size the detector
// finds: a crowd of 22 at 1280 x 720 was covered 0.51 with 12 crops and 0.78 with 24; once
// people found again were no longer carried as doubles too, 0.822 with 24 and 0.832 with 32
// (the worst tenth 0.165 and 0.203). On a street of 768 x 576, 24 crops rather than 12 left the
// walkers covered, the matte on them and its steadiness as they were, at the same speed.
constexpr float leastHeight = 12;
constexpr size_t fewestCrops = 12, mostCrops = 32;
constexpr double cropArea = 768 * 576, cropsPerArea = 24;
// A crop's map is dropped unless at least sureShare of what it calls person is at least
// sureValue, and it calls person less than fullestShare of the crop.
constexpr double sureShare = 0.5;
constexpr float sureValue = 0.9f;
constexpr double fullestShare = 0.6;
// Two people of alike size close together share one crop, and the model may see only one of
// them there: a person is faint in a crop's map when it calls person less than faintShare of
// their box. Such a person is segmented alone, in a crop with aloneEnds of their height more room
// above and below than usual, so that its bottom border's fade falls on the ground beyond their
// feet rather than across the ground the model may take for them. On a crowd of 22 at
// 1280 x 720 (40 frames), this took the worst tenth from 0.460 to 0.536 and the people covered
// from 0.899 to 0.911, with the ground lit as it was (0.0046); on a street, the walkers covered,
// the matte on them and its steadiness stay as they were, at the same processor time. Crops taken
// alone at the usual size left a straight step of 93 pixels where a lunging man's map lit the
// ground. The share is counted on the part of their box that no other person's box in the crop
// covers: a man lunging behind a woman in front, boxed by his legs, was not faint by his whole
// box, which her pixels lit, and kept a map that had missed his arm and shirt. Counted so, the
// worst tenth went from 0.669 to 0.701 and the people covered from 0.937 to 0.943, with the
// ground lit 0.0047 (0.0041 before); the street's walkers stay as they were.
// A person segmented alone is looked at once more in the crop's mirror image, and what either look
// calls person is taken: where another stands close, the model that missed an outstretched arm or
// leg in one look often sees it in the other. On the crowd (40 frames) this took the worst tenth
// from 0.694 to 0.717, the people covered from 0.943 to 0.946, the ground lit from 0.0053 to
// 0.0045 and the longest straight step from 90 to 73 pixels; the two lunging footballers gained
// most (covered 0.650 to 0.697, and 0.891 to 0.906). Over its first 8 frames alone, though, the
// ground lit went from 0.0054 to 0.0090: the mirror image of a lunging man's crop calls some of
// the grass between his legs person too. The mean of the two looks left the worst tenth at 0.670;
// the mirror image of every crop took it to 0.783 but lit 0.0093 of the ground, with a straight
// step of 160 pixels. On a street the walkers covered, the matte on them and its steadiness stay
// as they were, for about 6% more processor time (3% more time).
constexpr double faintShare = 0.25;
constexpr float aloneEnds = 0.15f;
// A model whose sides are free sees each crop at cropZoom times the crop's longer side, from
// leastSide to mostSide: small people magnified to the size the model knows, tall ones with more
// of their own detail than at its usual 256. On a crowd of 22 at 1280 x 720 (40 frames), this
// took the people covered from 0.923 to 0.936 and the worst tenth from 0.608 to 0.665, with the
// ground lit as it was (0.0046, 0.0043). Every crop at 224 left the worst tenth at 0.565; every
// crop at 384 covered the smallest people (crops of about 100 pixels) 0.05-0.12 less than at
// 256. A largest side of 512 took the worst tenth to 0.708 but lit half as much ground again
// (0.0064), and 640 more (0.0087): the model begins to take grass between legs for the person.
// On a street of 768 x 576, whose crops are mostly 64-128 pixels, the walkers covered, the matte
// on them and its steadiness stay as they were, in a little less processor time.
constexpr double cropZoom = 2;
constexpr int leastSide = 224, mostSide = 384;

// In a video the crops are segmented every segmentEvery-th frame, and on every frame the
// detector looks at; in between, each crop's map moves on with its people.
constexpr int segmentEvery = 2;

BitmapView viewOf(const BitmapView& picture, const cv::Rect& r) {
  return partOf(picture, r.x, r.y, r.width, r.height);
}

class OnnxPeople : public PersonSegmenter {
 public:
  explicit OnnxPeople(const PeopleModels& models)
      : segmentation_(models.segmentation, 1), detector_(models) {}

  std::optional<Mask> personMask(const BitmapView& picture) override {
    std::vector<TrackedPerson> people;
    for (const PersonBox& b : detector_.find(picture)) {
      if (b.sure) people.push_back({b, {0, 0}});
    }
    return maskOf(picture, people, true);
  }

  std::optional<Mask> frameMask(const BitmapView& frame) override {
    const std::optional<Look> look = tracker_.nextFrame(frame);
    if (look) tracker_.detected(detector_.find(frame, *look));
    ++sinceSegmented_;
    return maskOf(frame, tracker_.people(), look || sinceSegmented_ >= segmentEvery);
  }

 private:
  // A crop's map at the crop's size, as it was last segmented.
  struct CropMap {
    Crop crop;
    Mask map;
    cv::Mat still;  // the crop's pixels then (stillOf)
  };

  // The whole picture's map when nobody was found, or somebody near the camera: it is right for
  // them (and when the detector missed everyone, it is the best there is). Then the map of a crop
  // around each person further away, laid over it: segmented afresh, or else the last maps moved
  // on with their people.
  std::optional<Mask> maskOf(const BitmapView& picture, const std::vector<TrackedPerson>& people,
                             bool segmentCrops) {
    const int W = picture.width, H = picture.height;
    const size_t cropsAllowed =
        std::clamp(size_t(cropsPerArea * double(W) * double(H) / cropArea), fewestCrops, mostCrops);
    std::vector<Crop> crops;
    bool closeUp = people.empty();
    for (const TrackedPerson& p : people) {
      const cv::Rect crop = cropAround(p.person.box, W, H);
      if (float(crop.area()) >= closeUpShare * float(W) * float(H)) {
        closeUp = true;
      } else if (p.person.box.height >= leastHeight && crops.size() < cropsAllowed &&
                 !crop.empty()) {
        crops.push_back({crop, p.velocity, {p.person.box}});
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
      laid = laid.mul(nearPeople(people, inside));
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
    // A crop whose picture has not changed keeps its map, where it was.
    std::vector<CropMap> kept;
    std::vector<Crop> changed;
    for (const Crop& c : crops) {
      if (const CropMap* same = stillAs(picture, c.rect)) {
        kept.push_back(*same);
        kept.back().crop.velocity = {0, 0};
      } else {
        changed.push_back(c);
      }
    }
    crops = std::move(changed);
    std::vector<Mask> maps(crops.size());
    const auto segment = [&](const std::vector<size_t>& which, bool mirroredToo = false) {
      // Each look is a task of its own: a lone crop's two looks run side by side.
      const size_t looks = mirroredToo ? 2 : 1;
      std::vector<std::optional<Mask>> seen(which.size() * looks);
      cv::parallel_for_(cv::Range(0, int(seen.size())), [&](const cv::Range& range) {
        for (int t = range.start; t < range.end; ++t) {
          const cv::Rect& r = crops[which[size_t(t) / looks]].rect;
          seen[size_t(t)] = lookAt(viewOf(picture, r), modelSizeFor(r), t % looks == 1);
        }
      });
      cv::parallel_for_(cv::Range(0, int(which.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
          const size_t k = which[size_t(i)];
          std::optional<Mask>& map = seen[size_t(i) * looks];
          if (map && mirroredToo && !addTo(*map, seen[size_t(i) * looks + 1])) map.reset();
          if (!map || !isSure(*map)) continue;
          const cv::Rect& r = crops[k].rect;
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
    // A crop of several people whose map leaves one of them faint (the model saw the others), or
    // that the model was not sure of, is segmented once more around each such person alone.
    std::vector<Crop> alone;
    for (size_t k = 0; k < crops.size(); ++k) {
      if (crops[k].people.size() < 2) continue;
      const std::vector<cv::Rect2f>& people = crops[k].people;
      for (size_t p = 0; p < people.size(); ++p) {
        if (!maps[k].isEmpty() && litWithin(maps[k], crops[k].rect, people, p) >= faintShare)
          continue;
        const cv::Rect2f& box = people[p];
        const cv::Rect2f roomier(box.x, box.y - aloneEnds * box.height, box.width,
                                 (1 + 2 * aloneEnds) * box.height);
        alone.push_back(
            {cropAround(roomier, picture.width, picture.height), crops[k].velocity, {box}});
      }
    }
    std::vector<size_t> again;
    for (Crop& c : alone) again.push_back(crops.size()), crops.push_back(std::move(c));
    maps.resize(crops.size());
    segment(again, true);
    std::vector<CropMap> sure = std::move(kept);
    for (size_t k = 0; k < crops.size(); ++k) {
      if (!maps[k].isEmpty())
        sure.push_back({crops[k], std::move(maps[k]), stillOf(picture, crops[k].rect)});
    }
    return sure;
  }

  // The model's map of a crop seen at `size`, or of its mirror image turned back.
  std::optional<Mask> lookAt(const BitmapView& crop, cv::Size size, bool mirrored) {
    if (!mirrored) return segmentation_.map(crop, size.width, size.height);
    const cv::Mat pixels(crop.height, crop.width, CV_8UC4, const_cast<uint8_t*>(crop.pixels),
                         crop.rowBytes);
    cv::Mat mirror;
    cv::flip(pixels, mirror, 1);
    std::optional<Mask> map = segmentation_.map(
        BitmapView{mirror.data, mirror.cols, mirror.rows, mirror.step, crop.order}, size.width,
        size.height);
    if (map) {
      cv::Mat m(map->height, map->width, CV_32F, map->values.data());
      cv::flip(m, m, 1);
    }
    return map;
  }

  // Adds to a map what another look at the same crop calls person; false when that look failed.
  static bool addTo(Mask& map, const std::optional<Mask>& other) {
    if (!other || other->width != map.width || other->height != map.height) return false;
    cv::Mat m(map.height, map.width, CV_32F, map.values.data());
    cv::max(m, cv::Mat(map.height, map.width, CV_32F, const_cast<float*>(other->values.data())), m);
    return true;
  }

  // The size the model sees a crop at: its own, or a square that follows the crop (cropZoom).
  cv::Size modelSizeFor(const cv::Rect& crop) const {
    const InputFormat& input = segmentation_.input();
    if (input.multiple <= 0) return {input.width, input.height};
    const int zoomed = int(std::ceil(cropZoom * std::max(crop.width, crop.height)));
    const int side = std::clamp(zoomed, leastSide, mostSide);
    const int m = input.multiple, rounded = (side + m - 1) / m * m;
    return {rounded, rounded};
  }

  // The map last segmented on a crop like r (each side within a few pixels), if the picture
  // there has not changed since; it stays where it was.
  const CropMap* stillAs(const BitmapView& picture, const cv::Rect& r) const {
    const cv::Rect frame(0, 0, picture.width, picture.height);
    const int near = std::max(2, r.height / 32);
    for (const CropMap& c : cropMaps_) {
      const cv::Rect& was = c.crop.rect;
      if ((was & frame) != was || std::abs(was.x - r.x) > near || std::abs(was.y - r.y) > near ||
          std::abs(was.br().x - r.br().x) > near || std::abs(was.br().y - r.br().y) > near)
        continue;
      if (unchanged(c.still, stillOf(picture, was))) return &c;
    }
    return nullptr;
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
