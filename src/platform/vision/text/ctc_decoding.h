// Reading the recogniser's output: its characters, and greedy CTC decoding.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace plumvane {

// The recogniser's classes: index 0 is the CTC blank, then one per line of the keys file, then
// a space.
std::vector<std::string> recognitionClasses(const std::filesystem::path& keysFile);

struct DecodedText {
  std::string text;
  float confidence = 0;  // mean probability of the kept characters; 0 when none is kept
  // Each kept character, the steps where its run begins and ends, and the highest probability
  // it has in its run, in order.
  struct Emission {
    std::string character;
    int first = 0;
    int last = 0;
    float probability = 0;
    // The likeliest other character (not the blank) at the step where it is likeliest, and
    // its probability there.
    std::string runnerUp;
    float runnerUpProbability = 0;
  };
  std::vector<Emission> emissions;
};

// Greedy CTC decoding of steps x classes probabilities: the most likely class per step, repeats
// collapsed, blanks dropped.
DecodedText ctcGreedyDecode(const float* probabilities, int steps, int classes,
                            const std::vector<std::string>& characters);

}  // namespace plumvane
