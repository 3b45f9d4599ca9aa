#include "video/crowd_scene.h"

#include <algorithm>
#include <opencv2/imgproc.hpp>

namespace plumvane::testing {
namespace {

constexpr int width = 1280, height = 720;

// One person of the crowd: which cut-out (mirrored or not), how tall, where their left side and
// their feet are in the first frame, and how many pixels they walk a frame.
struct Walker {
  int person;
  bool mirrored;
  int tall, left, feet, step;
};

// Six rows, the furthest first, each a few groups of people who overlap one another and the
// rows in front of them. The third cut-out is a bust, cut off by its photo at the bottom and on
// one side: it stands at the bottom right corner, the cut side beyond the frame.
const std::vector<Walker> walkers = {
    {0, false, 70, 140, 300, 2},   {0, true, 70, 160, 300, 2},    {1, false, 70, 420, 300, 2},
    {0, false, 70, 700, 300, 2},   {0, true, 70, 722, 300, 2},    {1, true, 70, 1000, 300, 2},
    {1, false, 110, 250, 370, -2}, {0, false, 110, 330, 370, -2}, {0, true, 110, 760, 370, -2},
    {1, false, 110, 820, 370, -2}, {0, false, 170, 80, 460, 3},   {1, true, 170, 140, 460, 3},
    {0, false, 170, 560, 460, 3},  {0, true, 170, 640, 460, 3},   {0, false, 170, 1080, 460, 3},
    {1, false, 260, 300, 580, -3}, {0, false, 260, 480, 580, -3}, {0, true, 260, 900, 580, -3},
    {0, false, 380, 40, 700, 4},   {1, true, 380, 900, 700, 4},   {0, true, 520, 620, 750, -4},
    {2, true, 300, 1000, 720, 2},
};

}  // namespace

const std::vector<PersonPhoto>& crowdPhotos() {
  static const std::vector<PersonPhoto> photos = {
      {"basketball1.png", {0, 60, 210, 420}, {35, 21, 132, 399}},  // a man standing, in grey
      {"messi5.jpg", {50, 50, 420, 292}, {18, 10, 390, 278}},      // a footballer in a lunge
      {"astronaut.png", {0, 0, 512, 512}, {0, 14, 512, 498}},      // a woman from the waist up
  };
  return photos;
}

cv::Mat personOf(const cv::Mat& cutout, const cv::Rect& place) {
  std::vector<cv::Mat> channels;
  cv::split(cutout, channels);
  cv::Mat labels, stats, centres;
  const int count = cv::connectedComponentsWithStats(channels[3] >= 128, labels, stats, centres);
  int largest = 1;
  for (int i = 2; i < count; ++i) {
    if (stats.at<int>(i, cv::CC_STAT_AREA) > stats.at<int>(largest, cv::CC_STAT_AREA)) largest = i;
  }
  // The soft rim around the largest part stays; what lies apart from it (a ball, a stray patch of
  // the background) goes.
  cv::Mat keep;
  cv::dilate(labels == largest, keep, cv::getStructuringElement(cv::MORPH_ELLIPSE, {7, 7}));
  channels[3].setTo(0, keep == 0);
  cv::Mat person;
  cv::merge(channels, person);
  return person(place & cv::Rect(0, 0, person.cols, person.rows)).clone();
}

CrowdScene crowdOf(const std::vector<cv::Mat>& people, const cv::Mat& ground, int frames) {
  CrowdScene scene;
  scene.count = int(walkers.size());
  std::vector<cv::Mat> sprites;  // BGRA at each walker's size
  for (const Walker& w : walkers) {
    cv::Mat s = people[size_t(w.person)];
    if (w.mirrored) cv::flip(s, s, 1);
    const int across = std::max(1, s.cols * w.tall / s.rows);
    cv::resize(s, s, {across, w.tall}, 0, 0, cv::INTER_AREA);
    sprites.push_back(s);
  }
  cv::Mat backdrop;
  cv::resize(ground, backdrop, {width, height}, 0, 0, cv::INTER_AREA);
  const cv::Rect frameRect(0, 0, width, height);
  for (int f = 0; f < frames; ++f) {
    cv::Mat picture, front(height, width, CV_8U, cv::Scalar(0));
    cv::Mat covered(height, width, CV_8U, cv::Scalar(0));
    backdrop.convertTo(picture, CV_32FC3);
    for (size_t i = 0; i < walkers.size(); ++i) {
      const Walker& w = walkers[i];
      const cv::Mat& s = sprites[i];
      const cv::Rect placed(w.left + w.step * f, w.feet - w.tall, s.cols, s.rows);
      const cv::Rect at = placed & frameRect;
      if (at.empty()) continue;
      const cv::Mat part = s(at - placed.tl());
      cv::Mat bgr, alpha, alpha3;
      cv::cvtColor(part, bgr, cv::COLOR_BGRA2BGR);
      bgr.convertTo(bgr, CV_32FC3);
      cv::extractChannel(part, alpha, 3);
      alpha.convertTo(alpha3, CV_32F, 1.0 / 255);
      cv::cvtColor(alpha3, alpha3, cv::COLOR_GRAY2BGR);
      picture(at) = bgr.mul(alpha3) + picture(at).mul(cv::Scalar::all(1) - alpha3);
      front(at).setTo(int(i) + 1, alpha >= 128);
      cv::Mat c = covered(at);
      cv::max(c, alpha, c);
    }
    picture.convertTo(picture, CV_8UC3);
    scene.frames.push_back(picture);
    scene.front.push_back(front);
    scene.people.push_back(covered);
  }
  return scene;
}

namespace {

// The longest run along the rows of `steps` (one row of booleans per pixel edge).
int longestRun(const cv::Mat& steps) {
  int longest = 0;
  for (int y = 0; y < steps.rows; ++y) {
    const uint8_t* row = steps.ptr<uint8_t>(y);
    for (int x = 0, run = 0; x < steps.cols; ++x) {
      run = row[x] ? run + 1 : 0;
      longest = std::max(longest, run);
    }
  }
  return longest;
}

// The longest run of steps between rows of the matte `span` pixels apart where the people's
// coverage has none near: a sharp step, or a soft one that a crop's border leaves when its map is
// faded towards it.
int straightRunOf(const cv::Mat& matte, const cv::Mat& people) {
  int longest = 0;
  for (int span : {1, 16}) {
    const cv::Rect upper(0, 0, matte.cols, matte.rows - span), lower = upper + cv::Point(0, span);
    cv::Mat step, truth;
    cv::absdiff(matte(upper), matte(lower), step);
    cv::absdiff(people(upper), people(lower), truth);
    cv::dilate(truth >= 32, truth, cv::Mat::ones(2 * span + 5, 7, CV_8U));
    longest = std::max(longest, longestRun((step >= 128) & (truth == 0)));
  }
  return longest;
}

}  // namespace

CrowdScore scoreOf(const CrowdScene& scene, const std::vector<cv::Mat>& mattes) {
  CrowdScore score;
  std::vector<double> shares;
  double lit = 0, ground = 0;
  for (size_t f = 0; f < mattes.size() && f < scene.frames.size(); ++f) {
    const cv::Mat& matte = mattes[f];
    const cv::Mat white = matte >= 128;
    for (int i = 1; i <= scene.count; ++i) {
      const cv::Mat visible = scene.front[f] == i;
      const int area = cv::countNonZero(visible);
      if (area >= 100) shares.push_back(cv::countNonZero(visible & white) / double(area));
    }
    cv::Mat near;
    cv::dilate(scene.people[f] > 0, near, cv::getStructuringElement(cv::MORPH_ELLIPSE, {11, 11}));
    ground += cv::countNonZero(near == 0);
    lit += cv::countNonZero(white & (near == 0));
    score.straightRun = std::max({score.straightRun, straightRunOf(matte, scene.people[f]),
                                  straightRunOf(matte.t(), scene.people[f].t())});
  }
  if (!shares.empty()) {
    std::sort(shares.begin(), shares.end());
    const size_t tenth = std::max<size_t>(1, shares.size() / 10);
    for (size_t k = 0; k < shares.size(); ++k) score.coverage += shares[k] / double(shares.size());
    for (size_t k = 0; k < tenth; ++k) score.worstTenth += shares[k] / double(tenth);
  }
  score.groundLit = ground > 0 ? lit / ground : 0;
  return score;
}

}  // namespace plumvane::testing
