#include "platform/vision/people/crop_maps.h"

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "platform/image/thumbnail.h"

namespace plumvane {

// Two crops are one when sameCrop of the smaller lies in the larger, the smaller is at least
// alikeCrops of the larger, and together they are at most widestMerge times the larger: a small
// person behind a tall one keeps a crop of their own, where they fill the model's view, and in a
// crowd merged crops do not grow into one another.
constexpr double sameCrop = 0.6, widestMerge = 1.3;
constexpr double alikeCrops = 0.5;
// A crop whose pixels have not changed since it was segmented keeps its map: compared at
// stillWidth pixels across, grey, it is unchanged when less than stillShare of them differ by
// more than stillLevel. Someone standing, or sitting, costs the model nothing more, and their
// matte does not flicker.
constexpr int stillWidth = 48;
constexpr int stillLevel = 12;
constexpr double stillShare = 0.03;

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
          crops[i].rect = a | b;
          crops[i].velocity = (crops[i].velocity + crops[j].velocity) / 2;
          crops[i].people.insert(crops[i].people.end(), crops[j].people.begin(),
                                 crops[j].people.end());
          crops.erase(crops.begin() + std::ptrdiff_t(j));
          again = true;
        }
      }
    }
  }
  return crops;
}

cv::Mat stillOf(const BitmapView& picture, const cv::Rect& r) {
  const BitmapView part = partOf(picture, r.x, r.y, r.width, r.height);
  const cv::Mat bgra(part.height, part.width, CV_8UC4, const_cast<uint8_t*>(part.pixels),
                     part.rowBytes);
  return greyThumbnail(bgra, std::min(stillWidth, r.width));
}

bool unchanged(const cv::Mat& was, const cv::Mat& now) {
  cv::Mat difference;
  cv::absdiff(was, now, difference);
  return cv::countNonZero(difference > stillLevel) < stillShare * double(was.total());
}

// A crop's map is cut off where the crop ends, and where someone else reaches over that border
// the map is still high there: laid as it is, the border would show as a straight edge. So each
// border of a crop that lies inside the picture fades the map to nothing over the last
// fadeShare of the crop's size; whoever it cuts is segmented whole in their own crop. Where the
// model calls the ground person up to a crop's border (a crowded crop around part of someone),
// a fade over 0.08 showed as a straight step of 101 pixels on a crowd of 22 at 1280 x 720; over
// 0.12, 68 pixels, with the people covered 0.827 and 0.822.
constexpr float fadeShare = 0.12f;

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

cv::Mat nearPeople(const std::vector<TrackedPerson>& people, const cv::Rect& area) {
  cv::Mat near(area.size(), CV_32F, cv::Scalar(0));
  for (const TrackedPerson& p : people) {
    const cv::Rect2f& b = p.person.box;
    const float reach = std::max(2.0f, reachShare * b.height);
    const cv::Rect2f core(b.x - reach, b.y - reach, b.width + 2 * reach, b.height + 2 * reach);
    const cv::Rect outer = enclosing(cv::Point2f(core.x - reach, core.y - reach),
                                     cv::Point2f(core.br().x + reach, core.br().y + reach)) &
                           area;
    for (int y = outer.y; y < outer.br().y; ++y) {
      const float cy = float(y) + 0.5f;
      const float dy = std::max({0.0f, core.y - cy, cy - core.br().y});
      float* row = near.ptr<float>(y - area.y) - area.x;
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
// dark unless the model leans to person there. On a crowd of 22 at 1280 x 720 (40 frames), odds
// of 2 took the people covered from 0.81 to 0.84 and the worst tenth from 0.15 to 0.20, and the
// ground lit from 0.0023 to 0.0036; with the far rows looked at again, odds of 3 rather than 2
// take them from 0.897 to 0.907, 0.485 to 0.512 and 0.0038 to 0.0046 (4: 0.912, 0.528, 0.0052,
// and a straight step of 80 px, not 68). On a street, the walkers covered and the matte on them
// stay as they are.
constexpr float boxOdds = 3;

void believeWithin(cv::Mat& map, const std::vector<TrackedPerson>& people) {
  const cv::Rect frame(0, 0, map.cols, map.rows);
  std::vector<cv::Rect> boxes;
  for (const TrackedPerson& p : people) boxes.push_back(enclosing(p.person.box) & frame);
  // How far a pixel lies within box k, 0 at its border to 1 at fade from it; 0 outside.
  const auto depth = [&](size_t k, int x, int y) {
    if (!boxes[k].contains({x, y})) return 0.0f;
    const cv::Rect2f& b = people[k].person.box;
    const float fade = std::max(2.0f, reachShare / 4 * b.height);
    const float cx = float(x) + 0.5f, cy = float(y) + 0.5f;
    const float d = std::min({cx - b.x, b.br().x - cx, cy - b.y, b.br().y - cy});
    return std::clamp(d / fade, 0.0f, 1.0f);
  };
  // Each pixel is taken once, with the first box that holds it, at its deepest in any box.
  for (size_t i = 0; i < boxes.size(); ++i) {
    std::vector<size_t> earlier, others;
    for (size_t k = 0; k < boxes.size(); ++k) {
      if (k == i || (boxes[k] & boxes[i]).empty()) continue;
      (k < i ? earlier : others).push_back(k);
    }
    const cv::Rect& box = boxes[i];
    for (int y = box.y; y < box.br().y; ++y) {
      float* row = map.ptr<float>(y);
      for (int x = box.x; x < box.br().x; ++x) {
        const auto holds = [&](size_t k) { return boxes[k].contains({x, y}); };
        if (std::any_of(earlier.begin(), earlier.end(), holds)) continue;
        float w = depth(i, x, y);
        for (size_t k : others) w = std::max(w, depth(k, x, y));
        if (w <= 0) continue;
        const float odds = 1 + (boxOdds - 1) * w;
        row[x] = row[x] * odds / (row[x] * odds + 1 - row[x]);
      }
    }
  }
}

double litWithin(const Mask& map, const cv::Rect& crop, const std::vector<cv::Rect2f>& people,
                 size_t person) {
  const cv::Rect inside = (enclosing(people[person]) & crop) - crop.tl();
  if (inside.empty()) return 0;
  cv::Mat own(inside.size(), CV_8U, cv::Scalar(255));
  for (size_t other = 0; other < people.size(); ++other) {
    const cv::Rect shared = (enclosing(people[other]) - crop.tl()) & inside;
    if (other != person && !shared.empty()) own(shared - inside.tl()).setTo(0);
  }
  if (cv::countNonZero(own) == 0) own.setTo(255);
  const cv::Mat m(map.height, map.width, CV_32F, const_cast<float*>(map.values.data()));
  return cv::countNonZero((m(inside) >= 0.5f) & own) / double(cv::countNonZero(own));
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

}  // namespace plumvane
