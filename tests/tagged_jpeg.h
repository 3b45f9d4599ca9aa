// JPEG files with an embedded colour profile, for tests and benchmarks.
#pragma once

#include <string>
#include <vector>

namespace plumvane::testing {

// The JPEG file `jpeg` with the ICC profile `profile` put in an APP2 segment after its start.
inline std::string withProfile(const std::vector<unsigned char>& jpeg, const std::string& profile) {
  const std::string segment = std::string("ICC_PROFILE") + '\0' + '\1' + '\1' + profile;
  const size_t length = segment.size() + 2;
  std::string bytes(jpeg.begin(), jpeg.begin() + 2);
  bytes += {'\xFF', '\xE2', char(length >> 8), char(length & 0xFF)};
  bytes += segment;
  bytes.append(jpeg.begin() + 2, jpeg.end());
  return bytes;
}

}  // namespace plumvane::testing
