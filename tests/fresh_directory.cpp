#include "fresh_directory.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace plumvane::testing {

std::string freshDirectory() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const auto path = std::filesystem::path(PLUMVANE_TEST_SCRATCH) /
                    (std::string(info->test_suite_name()) + "." + info->name());
  std::filesystem::remove_all(path);
  std::filesystem::create_directories(path);
  return path.string();
}

}  // namespace plumvane::testing
