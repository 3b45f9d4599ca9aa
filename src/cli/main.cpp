// The program proper: reads the command line and runs one mode.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "cli/arguments.h"
#include "cli/program.h"
#include "cutout/cutout.h"
#include "platform/process/signals.h"
#include "platform/vision/model_description.h"
#include "platform/vision/model_files.h"
#include "platform/vision/vision.h"
#include "poster/poster_pieces.h"
#include "run/fail.h"
#include "run/output.h"
#include "video/run_video.h"

namespace {

template <typename... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <typename... F>
Overloaded(F...) -> Overloaded<F...>;

// ONNX Runtime reads /proc/self/cmdline while it loads a model and parses it with a recursive
// pattern match, which overflows the stack on a command line of some 33 KB. The arguments have
// been copied by then, so a long command line is cut short to the program's name for the
// kernel's view of it: once the byte that ends the last argument is no longer a NUL, the kernel
// takes the argument area to be a process title and reports it up to its first NUL only.
void shortenProcessCommandLine(int argc, char** argv) {
  constexpr size_t longCommandLine = 16 * 1024;
  if (argc < 2) return;
  char* end = argv[argc - 1] + std::strlen(argv[argc - 1]);
  if (size_t(end - argv[0]) < longCommandLine) return;
  *end = ' ';
}

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
                   cutout(request.picture, request.target, *installedVision(ModelUse::once));
                 },
                 [](const PosterRequest& request) {
                   requirePositive(request.maxSide);
                   posterPieces(request.picture, request.outDir, request.maxSide,
                                *installedVision(ModelUse::once));
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

int plumvane_main(int argc, char** argv) {
  using namespace plumvane;
  installSignalHandlers();
  const std::vector<std::string> args(argv, argv + argc);
  // Whatever goes wrong ends as one line and status 1, never as an abort.
  try {
    const Command command = parseCommand(args, subjectModelInstalled());
    shortenProcessCommandLine(argc, argv);
    run(command);
  } catch (const MissingModel& missing) {
    fail(missing.what());
  } catch (const std::bad_alloc&) {
    fail("not enough memory for this picture");
  } catch (const std::exception& error) {
    fail(std::string("internal error: ") + error.what());
  }
  finishOutput();
  return 0;
}
