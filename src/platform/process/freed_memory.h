// How the process holds on to memory.
#pragma once

namespace plumvane {

// Keeps memory that the program frees for its next allocations instead of handing it back to
// the system. The modes allocate and free images of the same few sizes over and over; fresh
// pages from the system cost a page fault each and must be zeroed, which took a fifth of a
// poster's time. Cutout mode, which makes each image once, keeps its lower peak without it.
void keepFreedMemory();

}  // namespace plumvane
