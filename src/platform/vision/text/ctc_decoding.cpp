#include "platform/vision/text/ctc_decoding.h"

#include <algorithm>
#include <fstream>

namespace plumvane {

std::vector<std::string> recognitionClasses(const std::filesystem::path& keysFile) {
  std::vector<std::string> classes = {""};
  std::ifstream in(keysFile);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    classes.push_back(line);
  }
  classes.push_back(" ");
  return classes;
}

DecodedText ctcGreedyDecode(const float* probabilities, int steps, int classes,
                            const std::vector<std::string>& characters) {
  DecodedText out;
  int previous = -1;
  double sum = 0;
  int kept = 0;
  // The likeliest character but `best` in the row.
  const auto runnerUp = [&](const float* row, int best) {
    int other = -1;
    for (int c = 1; c < classes && size_t(c) < characters.size(); ++c) {
      if (c != best && (other < 0 || row[c] > row[other])) other = c;
    }
    return other;
  };
  for (int t = 0; t < steps; ++t) {
    const float* row = probabilities + size_t(t) * size_t(classes);
    const int best = int(std::max_element(row, row + classes) - row);
    if (best != previous && best != 0 && size_t(best) < characters.size()) {
      out.text += characters[size_t(best)];
      out.emissions.push_back({characters[size_t(best)], t, t, row[best], "", 0.0f});
      if (const int other = runnerUp(row, best); other > 0) {
        out.emissions.back().runnerUp = characters[size_t(other)];
        out.emissions.back().runnerUpProbability = row[other];
      }
      sum += row[best];
      ++kept;
    } else if (best == previous && best != 0 && !out.emissions.empty()) {
      DecodedText::Emission& e = out.emissions.back();
      e.last = t;
      if (row[best] > e.probability) {
        e.probability = row[best];
        if (const int other = runnerUp(row, best); other > 0) {
          e.runnerUp = characters[size_t(other)];
          e.runnerUpProbability = row[other];
        }
      }
    }
    previous = best;
  }
  out.confidence = kept ? float(sum / kept) : 0.0f;
  return out;
}

}  // namespace plumvane
