#include "poster/subject_masks.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

#include "platform/image/image_ops.h"
#include "platform/image/mask_conversions.h"

namespace plumvane {

SubjectMasks findSubjectMasks(Vision& vision, const BitmapView& workingBitmap,
                              const PosterRun& run) {
  if (SubjectSegmenter* subjects = vision.subjects()) {
    return subjectMasksFrom(subjects->instanceMasks(workingBitmap), run);
  }
  std::optional<Mask> people = vision.people().personMask(workingBitmap);
  return subjectMasksFrom(people ? std::vector<Mask>{std::move(*people)} : std::vector<Mask>{},
                          run);
}

namespace {

constexpr double letteringShare = 2.0 / 3.0;
// A mask with this share of its weight in the lines is lettering when less than `edgeShare` of its
// outline outside the lines lies within `outlineReach` pixels of a local contrast (the grey range
// of a 3 x 3 neighbourhood, in 8-bit levels) of at least `leastContrast`.
constexpr double paperShare = 0.25;
constexpr double edgeShare = 0.25;
constexpr int outlineReach = 3;
constexpr double leastContrast = 24;
// A mask with `paperShare` of its weight in the lines is a flat panel of lettering (a sign, a
// page, a printed card) when less than `mostShaded` of its pixels outside the lines are shaded:
// their local contrast lies between `flatContrast` and `leastContrast`. Flat colour has none but
// along its edges; a photographed thing is shaded all over (a fifth to a half of its pixels in
// real and test photos, against under a fiftieth on real signs, cards and pages).
constexpr double mostShaded = 0.06;
constexpr int flatContrast = 3;

// The local contrast of the working image: the grey range of each 3 x 3 neighbourhood.
cv::Mat localContrast(const Image& working) {
  cv::Mat grey(working.height, working.width, CV_8U);
  for (int row = 0; row < working.height; ++row) {
    for (int column = 0; column < working.width; ++column) {
      const Pixel& p = working.at(column, row);
      grey.at<uint8_t>(row, column) =
          cv::saturate_cast<uint8_t>(255 * (0.299 * p.r + 0.587 * p.g + 0.114 * p.b));
    }
  }
  cv::Mat contrast;
  cv::morphologyEx(grey, contrast, cv::MORPH_GRADIENT, cv::Mat());
  return contrast;
}

// The highest of the local contrasts within `outlineReach` pixels of each pixel.
cv::Mat contrastNear(const cv::Mat& local) {
  cv::Mat near;
  const int side = 2 * outlineReach + 1;
  cv::dilate(local, near, cv::getStructuringElement(cv::MORPH_RECT, {side, side}));
  return near;
}

// The share of the mask's pixels outside the lines that are shaded; 0 when it has none there.
double shadedShare(const Image& mask, const std::vector<uint8_t>& inText, const cv::Mat& local) {
  size_t all = 0, shaded = 0;
  for (size_t p = 0; p < mask.pixels.size(); ++p) {
    if (inText[p] || mask.pixels[p].r < 0.5f) continue;
    ++all;
    shaded += local.data[p] > flatContrast && local.data[p] < leastContrast;
  }
  return all == 0 ? 0.0 : double(shaded) / double(all);
}

// The share of the mask's outline outside the lines that runs along an edge of the picture; 1
// when all of its outline lies in the lines.
double outlineOnEdges(const Image& mask, const std::vector<uint8_t>& inText,
                      const cv::Mat& contrast) {
  cv::Mat lit(mask.height, mask.width, CV_8U);
  for (size_t p = 0; p < mask.pixels.size(); ++p) lit.data[p] = mask.pixels[p].r >= 0.5f;
  cv::Mat outline;
  cv::morphologyEx(lit, outline, cv::MORPH_GRADIENT, cv::Mat());
  size_t all = 0, edges = 0;
  for (size_t p = 0; p < mask.pixels.size(); ++p) {
    if (!outline.data[p] || inText[p]) continue;
    ++all;
    edges += contrast.data[p] >= leastContrast;
  }
  return all == 0 ? 1.0 : double(edges) / double(all);
}

// A backdrop is one flat colour over at least this share of the picture; a pixel belongs to it
// within `backdropLevels` of that colour (8-bit levels, most different channel), and stands out
// from it at `shapeLevels` or more.
constexpr double backdropShare = 0.4;
constexpr int backdropLevels = 12;
constexpr int shapeLevels = 24;
// A shape is taken whole when at least this share of it is a subject's (coverage of a half or
// more), and when it is at least this share of the picture: specks are left as they are. So is a
// shape within fragmentReach of the picture's shorter side of one taken whole.
constexpr double coveredShare = 0.5;
constexpr double leastShape = 1e-3;
constexpr double fragmentReach = 0.03;

// The largest difference of two colours over their channels.
int colourDistance(const uint8_t* a, const cv::Vec3i& b) {
  return std::max({std::abs(a[0] - b[0]), std::abs(a[1] - b[1]), std::abs(a[2] - b[2])});
}

// The flat colour that most of the picture (8-bit RGB) outside the subjects has, if it covers at
// least `backdropShare` of the picture: the commonest colour, in steps of 8 levels, of the flat
// pixels, then the mean of the pixels near it.
std::optional<cv::Vec3i> flatBackdrop(const cv::Mat& rgb, const std::vector<Image>& masks) {
  cv::Mat grey, contrast;
  cv::cvtColor(rgb, grey, cv::COLOR_RGB2GRAY);
  cv::morphologyEx(grey, contrast, cv::MORPH_GRADIENT, cv::Mat());
  std::vector<int> counts(32 * 32 * 32, 0);
  for (size_t p = 0; p < rgb.total(); ++p) {
    if (contrast.data[p] > flatContrast) continue;
    if (std::any_of(masks.begin(), masks.end(),
                    [&](const Image& mask) { return mask.pixels[p].r >= 0.1f; }))
      continue;
    const uint8_t* c = rgb.data + p * 3;
    ++counts[size_t(c[0] / 8) * 1024 + size_t(c[1] / 8) * 32 + size_t(c[2] / 8)];
  }
  const size_t mode = size_t(std::max_element(counts.begin(), counts.end()) - counts.begin());
  const cv::Vec3i guess(int(mode / 1024) * 8 + 4, int(mode / 32 % 32) * 8 + 4,
                        int(mode % 32) * 8 + 4);
  cv::Vec3d sum(0, 0, 0);
  size_t near = 0;
  for (size_t p = 0; p < rgb.total(); ++p) {
    const uint8_t* c = rgb.data + p * 3;
    if (colourDistance(c, guess) >= backdropLevels) continue;
    sum += cv::Vec3d(c[0], c[1], c[2]);
    ++near;
  }
  if (double(near) < backdropShare * double(rgb.total())) return std::nullopt;
  return cv::Vec3i(int(std::lround(sum[0] / double(near))), int(std::lround(sum[1] / double(near))),
                   int(std::lround(sum[2] / double(near))));
}

// The masks' pixel-wise maximum. The masks are opaque grey images of the working image's extent.
Image unionOf(const std::vector<Image>& masks, const PosterRun& run) {
  if (masks.empty()) return solidImage(blackColour, run.working.extent());
  Image u = masks.front();
  for (size_t i = 1; i < masks.size(); ++i) u = maximumCompositing(std::move(u), masks[i]);
  return u;
}

}  // namespace

SubjectMasks subjectMasksFrom(const std::vector<Mask>& masks, const PosterRun& run) {
  SubjectMasks found;
  for (const Mask& mask : masks) {
    if (mask.isEmpty()) continue;
    // Masks come at the working image's size; one that does not is stretched, each axis by its
    // own factor, to cover the working image exactly.
    Image image = maskImage(mask);
    if (image.width != run.working.width || image.height != run.working.height) {
      image = scaled(image, run.working.width, run.working.height);
    }
    found.masks.push_back(grey(std::move(image), run.working.extent()));
  }
  found.subjectUnion = unionOf(found.masks, run);
  return found;
}

SubjectMasks wholeOnFlatBackdrop(SubjectMasks subjects, const BitmapView& workingBitmap,
                                 const std::vector<TextRegion>& regions,
                                 const std::vector<std::optional<TextInk>>& inks,
                                 const PosterRun& run) {
  if (subjects.masks.empty()) return subjects;
  const int W = workingBitmap.width, H = workingBitmap.height;
  cv::Mat rgb;
  cv::cvtColor(
      cv::Mat(H, W, CV_8UC4, const_cast<uint8_t*>(workingBitmap.pixels), workingBitmap.rowBytes),
      rgb,
      workingBitmap.order == BitmapView::Order::rgba ? cv::COLOR_RGBA2RGB : cv::COLOR_BGRA2RGB);
  const std::optional<cv::Vec3i> backdrop = flatBackdrop(rgb, subjects.masks);
  if (!backdrop) return subjects;

  // The shapes: what stands out from the backdrop, the lines' strokes and rims left out, so that
  // lettering touching a photo does not join it.
  cv::Mat shapes(H, W, CV_8U);
  for (size_t p = 0; p < rgb.total(); ++p) {
    shapes.data[p] = colourDistance(rgb.data + p * 3, *backdrop) >= shapeLevels ? 255 : 0;
  }
  for (size_t i = 0; i < regions.size(); ++i) {
    if (!inks[i]) continue;
    const TextInk& ink = *inks[i];
    const cv::Rect area =
        cv::Rect(int(ink.rect.x), int(ink.rect.y), ink.w, ink.h) & cv::Rect(0, 0, W, H);
    for (int y = area.y; y < area.y + area.height; ++y) {
      for (int x = area.x; x < area.x + area.width; ++x) {
        const size_t at = size_t(y - int(ink.rect.y)) * size_t(ink.w) + size_t(x - int(ink.rect.x));
        if (ink.hole[at]) shapes.at<uint8_t>(y, x) = 0;
      }
    }
  }
  cv::Mat labels, stats, centres;
  const int count = cv::connectedComponentsWithStats(shapes, labels, stats, centres, 8, CV_32S);
  std::vector<size_t> area(size_t(count), 0);
  for (int l = 0; l < count; ++l) area[size_t(l)] = size_t(stats.at<int>(l, cv::CC_STAT_AREA));
  const int reach = std::max(1, int(std::lround(fragmentReach * std::min(W, H))));

  bool grown = false;
  for (Image& mask : subjects.masks) {
    std::vector<size_t> covered(size_t(count), 0);
    for (size_t p = 0; p < rgb.total(); ++p)
      covered[size_t(labels.ptr<int>()[p])] += mask.pixels[p].r >= 0.5f;
    std::vector<uint8_t> whole(size_t(count), 0);
    for (size_t l = 1; l < size_t(count); ++l) {
      whole[l] = double(area[l]) >= leastShape * double(rgb.total()) &&
                 double(covered[l]) >= coveredShare * double(area[l]);
    }
    // What a stroke in the backdrop's colour cuts off a shape taken whole (a letter drawn over
    // the photo in the ground's colour) is taken too.
    cv::Mat near(H, W, CV_8U);
    for (size_t p = 0; p < rgb.total(); ++p) near.data[p] = whole[size_t(labels.ptr<int>()[p])];
    cv::dilate(near, near,
               cv::getStructuringElement(cv::MORPH_RECT, {2 * reach + 1, 2 * reach + 1}));
    for (size_t l = 1; l < size_t(count); ++l) {
      if (whole[l] || double(area[l]) < leastShape * double(rgb.total())) continue;
      const cv::Rect shape(
          stats.at<int>(int(l), cv::CC_STAT_LEFT), stats.at<int>(int(l), cv::CC_STAT_TOP),
          stats.at<int>(int(l), cv::CC_STAT_WIDTH), stats.at<int>(int(l), cv::CC_STAT_HEIGHT));
      whole[l] = cv::countNonZero(near(shape) & (labels(shape) == int(l))) > 0;
    }
    for (size_t p = 0; p < rgb.total(); ++p) {
      if (!whole[size_t(labels.ptr<int>()[p])] || mask.pixels[p].r >= 1) continue;
      mask.pixels[p] = Pixel{1, 1, 1, 1};
      grown = true;
    }
  }
  if (grown) subjects.subjectUnion = unionOf(subjects.masks, run);
  return subjects;
}

SubjectMasks withoutLettering(SubjectMasks subjects, const std::vector<TextRegion>& regions,
                              const std::vector<std::optional<TextInk>>& inks,
                              const PosterRun& run) {
  if (subjects.masks.empty()) return subjects;
  // Where the lines lie.
  std::vector<uint8_t> inText(run.working.pixels.size(), 0);
  for (size_t i = 0; i < regions.size(); ++i) {
    const TextRegion& region = regions[i];
    if (!inks[i] || !(region.rect.width > region.rect.height)) continue;
    const int top = int(region.rect.y);
    for (int row = top; row < top + int(region.rect.height); ++row) {
      uint8_t* p = &inText[size_t(row) * size_t(run.working.width) + size_t(region.rect.x)];
      std::fill(p, p + int(region.rect.width), 1);
    }
  }
  SubjectMasks kept;
  cv::Mat local, near;  // made for the first mask that needs them
  for (Image& mask : subjects.masks) {
    double inside = 0, all = 0;
    for (size_t p = 0; p < mask.pixels.size(); ++p) {
      all += mask.pixels[p].r;
      if (inText[p]) inside += mask.pixels[p].r;
    }
    if (all > 0 && inside >= letteringShare * all) continue;
    if (all > 0 && inside >= paperShare * all) {
      if (local.empty()) {
        local = localContrast(run.working);
        near = contrastNear(local);
      }
      if (outlineOnEdges(mask, inText, near) < edgeShare) continue;
      if (shadedShare(mask, inText, local) < mostShaded) continue;
    }
    kept.masks.push_back(std::move(mask));
  }
  if (kept.masks.size() == subjects.masks.size()) {
    kept.subjectUnion = std::move(subjects.subjectUnion);
  } else {
    kept.subjectUnion = unionOf(kept.masks, run);
  }
  return kept;
}

}  // namespace plumvane
