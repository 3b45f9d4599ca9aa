// The process entry: reads the command line and runs one mode.
#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli/arguments.h"
#include "cli/fail.h"
#include "cutout/cutout.h"
#include "platform/models.h"
#include "platform/vision.h"
#include "poster/poster_pieces.h"
#include "video/run_video.h"

namespace {

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};

// A bound of zero or less would draw images of no size: refuse it before anything is written.
void requirePositive(int64_t maxSide) {
  if (maxSide <= 0) plumvane::fail("--max must be a positive number of pixels");
}

// Runs the mode the command line chose.
void run(const plumvane::Command& command) {
  using namespace plumvane;
  std::visit(Overloaded{
                 [](const UsageRequest&) { fail(usageLine); },
                 [](const CutoutRequest& request) {
                   cutout(request.picture, request.target, *installedVision());
                 },
                 [](const PosterRequest& request) {
                   requirePositive(request.maxSide);
                   posterPieces(request.picture, request.outDir, request.maxSide,
                                *installedVision());
                 },
                 [](const RunSettings& settings) {
                   requirePositive(settings.maxSide);
                   // A failure shows up later as the matte writer's "can't write " message.
                   std::error_code ignored;
                   std::filesystem::create_directories(settings.outDir, ignored);
                   runVideo(settings, *installedVision());
                 },
             },
             command);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace plumvane;
  const std::vector<std::string> args(argv, argv + argc);
  // Whatever goes wrong ends as one line and status 1, never as an abort.
  try {
    run(parseCommand(args, subjectModelInstalled()));
  } catch (const std::bad_alloc&) {
    fail("not enough memory for this picture");
  } catch (const std::exception& error) {
    std::string text = error.what();
    std::replace(text.begin(), text.end(), '\n', ' ');
    fail("internal error: " + text);
  }
  return 0;
}
