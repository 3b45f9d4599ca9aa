#include "platform/image/foreground_colour.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>

#include "edges.h"
#include "platform/image/mask_conversions.h"
#include "platform/vision/mask_refinement.h"

namespace plumvane {
namespace {

// The picture (CV_32FC3 RGB) as the float image type, opaque, and the image's colours back.
Image imageOf(const cv::Mat& rgb) {
  Image image{0, 0, rgb.cols, rgb.rows, std::vector<Pixel>(rgb.total())};
  cv::Mat rgba(rgb.rows, rgb.cols, CV_32FC4, image.pixels.data());
  cv::cvtColor(rgb, rgba, cv::COLOR_RGB2RGBA);
  return image;
}
cv::Mat coloursOf(const Image& image) {
  cv::Mat rgb;
  cv::cvtColor(
      cv::Mat(image.height, image.width, CV_32FC4, const_cast<Pixel*>(image.pixels.data())), rgb,
      cv::COLOR_RGBA2RGB);
  return rgb;
}

Mask alphaOf(const cv::Mat& coverage) {
  return Mask{coverage.cols, coverage.rows,
              std::vector<float>(coverage.begin<float>(), coverage.end<float>())};
}

// 8-bit values, as files hold them, back in 0..1.
cv::Mat quantised(const cv::Mat& m) {
  cv::Mat bytes, out;
  m.convertTo(bytes, CV_8U, 255);
  bytes.convertTo(out, CV_32F, 1.0 / 255);
  return out;
}

TEST(SubjectColours, SoftEdgesOverASaturatedBackdropTakeTheSubjectsColour) {
  // The astronaut photo as a subject with a known soft outline (anti-aliased, then blurred as a
  // shallow focus does) laid over pure magenta and pure green.
  const cv::Size size(1200, 800);
  const cv::Mat subject = testing::photo("astronaut.png", size);
  ASSERT_FALSE(subject.empty());
  cv::Mat rgbSubject;
  cv::cvtColor(subject, rgbSubject, cv::COLOR_BGR2RGB);
  cv::Mat shape(size, CV_8U, cv::Scalar(0));
  cv::ellipse(shape, cv::Point(600, 410), cv::Size(350, 280), 15, 0, 360, cv::Scalar(255),
              cv::FILLED, cv::LINE_AA);
  cv::rectangle(shape, cv::Rect(575, 100, 80, 190), cv::Scalar(0), cv::FILLED);
  for (const double blur : {0.0, 2.0, 5.0}) {
    for (const cv::Scalar& backdrop : {cv::Scalar(1, 0, 1), cv::Scalar(0, 1, 0)}) {
      cv::Mat coverage;
      shape.convertTo(coverage, CV_32F, 1.0 / 255);
      if (blur > 0) cv::GaussianBlur(coverage, coverage, cv::Size(), blur);
      coverage = quantised(coverage);
      cv::Mat coverage3, mixed;
      cv::merge(std::vector<cv::Mat>{coverage, coverage, coverage}, coverage3);
      mixed = quantised(rgbSubject.mul(coverage3) +
                        cv::Mat(size, CV_32FC3, backdrop).mul(cv::Scalar::all(1) - coverage3));
      const Image before = imageOf(mixed);
      Image picture = before;
      useSubjectColours(picture, alphaOf(coverage));

      std::vector<float> errors;
      double towardsBackdrop = 0;
      for (int y = 0; y < size.height; ++y) {
        for (int x = 0; x < size.width; ++x) {
          const float a = coverage.at<float>(y, x);
          const Pixel& got = picture.at(x, y);
          if (a <= 0 || a >= 1) {
            ASSERT_EQ(got, before.at(x, y)) << "a sure pixel changed at " << x << "," << y;
            continue;
          }
          if (a < 0.1f || a > 0.9f) continue;
          const cv::Vec3f want = rgbSubject.at<cv::Vec3f>(y, x);
          const cv::Vec3f error = cv::Vec3f(got.r, got.g, got.b) - want;
          errors.push_back(255 *
                           std::max({std::abs(error[0]), std::abs(error[1]), std::abs(error[2])}));
          cv::Vec3f away =
              cv::Vec3f(float(backdrop[0]), float(backdrop[1]), float(backdrop[2])) - want;
          towardsBackdrop += 255 * error.dot(away) / std::max(1e-6, cv::norm(away));
        }
      }
      ASSERT_FALSE(errors.empty());
      std::nth_element(errors.begin(), errors.begin() + long(errors.size() / 2), errors.end());
      // The picture's own colours there are some 100 levels off, all towards the backdrop.
      EXPECT_LE(errors[errors.size() / 2], 5) << "blur " << blur;
      EXPECT_LE(towardsBackdrop / double(errors.size()), 12) << "blur " << blur;
    }
  }
}

TEST(SubjectColours, RefinedEdgesOnAPhotoBackdropLeaveTheBackgroundBehind) {
  // A subject with a soft edge on a shallow-focus photo, cut out along its refined mask as a
  // real cut-out is: its soft pixels mostly take colours nearer the subject's than the old
  // background's.
  const testing::Composite composite = testing::composite(2, cv::Size(1500, 1000));
  ASSERT_FALSE(composite.rgba.empty());
  const Mask mask = refinedMask(composite.view(), composite.map);
  cv::Mat rgb, alpha(mask.height, mask.width, CV_32F, const_cast<float*>(mask.values.data()));
  cv::cvtColor(composite.rgba, rgb, cv::COLOR_RGBA2RGB);
  rgb.convertTo(rgb, CV_32FC3, 1.0 / 255);
  const Image picture = imageOf(rgb);
  Image colours = picture;
  useSubjectColours(colours, alphaOf(alpha));
  EXPECT_GT(testing::bandBackgroundShare(alpha, rgb, rgb), 0.3) << "the picture's own colours";
  EXPECT_LE(testing::bandBackgroundShare(alpha, rgb, coloursOf(colours)), 0.1);
}

TEST(SubjectColours, TheSameHoweverTheTilesAreShared) {
  // A soft, wavy edge across a picture wider than the coarse estimate's side, so that the tiles
  // take steps of their own at full resolution and read their neighbours' pixels.
  const cv::Size size(2400, 300);
  cv::Mat rgb;
  cv::cvtColor(testing::photo("astronaut.png", size), rgb, cv::COLOR_BGR2RGB);
  cv::Mat coverage(size, CV_32F);
  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      coverage.at<float>(y, x) =
          std::clamp((float(y) - 150 + 40 * std::sin(float(x) / 30)) / 60 + 0.5f, 0.0f, 1.0f);
    }
  }
  coverage = quantised(coverage);
  const Image picture = imageOf(rgb);
  const Mask alpha = alphaOf(coverage);
  Image shared = picture;
  useSubjectColours(shared, alpha);
  const int threads = cv::getNumThreads();
  cv::setNumThreads(1);
  Image oneByOne = picture;
  useSubjectColours(oneByOne, alpha);
  cv::setNumThreads(threads);
  EXPECT_FALSE(oneByOne.pixels == picture.pixels) << "no colour was estimated";
  EXPECT_TRUE(oneByOne.pixels == shared.pixels) << "one thread and many differ";
}

}  // namespace
}  // namespace plumvane
