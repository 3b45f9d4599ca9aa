// Separating a subject model's probability map into instances.
#pragma once

#include <optional>
#include <vector>

#include "platform/image/mask.h"

namespace plumvane {

// The foreground instances of a 0..1 subject map, at the map's own resolution.
struct SubjectInstances {
  Mask map;                                   // the model's map
  std::vector<std::vector<uint8_t>> regions;  // per instance: 1 inside its grown component
};

// Thresholds the map at 0.5, takes 8-connected components, keeps those covering at least
// 0.5% of the map (smaller ones are specks, not subjects) and at most 90% of it (a region over
// nearly everything is a texture, as noise gives, not a foreground), in which the map's mean is
// at least 0.8 (weaker ones are the model hesitating), orders them by area, largest first, and
// grows each by `grow` pixels of the map.
SubjectInstances findInstances(Mask map, int grow);

// Instance i's mask: the map inside its grown component, at the map's resolution.
Mask instanceMask(const SubjectInstances& instances, size_t i);

// The union of all instances' masks, at the map's resolution; nothing when there are none.
std::optional<Mask> allInstancesMask(const SubjectInstances& instances);

}  // namespace plumvane
