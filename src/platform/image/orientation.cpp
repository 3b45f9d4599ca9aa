#include "platform/image/orientation.h"

#include <opencv2/core.hpp>

namespace plumvane {

cv::Mat upright(cv::Mat stored, int orientation) {
  cv::Mat shown;
  switch (orientation) {
    case 2:
      cv::flip(stored, shown, 1);
      return shown;
    case 3:
      cv::flip(stored, shown, -1);
      return shown;
    case 4:
      cv::flip(stored, shown, 0);
      return shown;
    case 5:
      cv::transpose(stored, shown);
      return shown;
    case 6:
      cv::rotate(stored, shown, cv::ROTATE_90_CLOCKWISE);
      return shown;
    case 7:
      cv::transpose(stored, shown);
      cv::flip(shown, shown, -1);
      return shown;
    case 8:
      cv::rotate(stored, shown, cv::ROTATE_90_COUNTERCLOCKWISE);
      return shown;
    default:
      return stored;
  }
}

}  // namespace plumvane
