// How the process holds on to memory.
#pragma once

namespace plumvane {

// Keeps memory that the program frees for its next allocations instead of handing it back to
// the system. The modes allocate and free images of the same few sizes over and over; fresh
// pages from the system cost a page fault each and must be zeroed, which took a fifth of a
// poster's time. A cut-out's one inference, which runs without an arena (ModelUse::once),
// takes its tensors from the freed memory of the ones before; on a 12-megapixel photo that
// was 0.64 of the time and 0.87 of the memory of the arena's.
void keepFreedMemory();

// Serves every thread's allocations from the program's one heap. Otherwise glibc gives a thread
// that allocates while another holds the heap an arena of its own, mapped in 64 MB pieces that
// grow a page at a time and get no huge pages: the images a poster makes on its second threads
// then cost a page fault per 4 KB (about 100,000 on a 3000 x 2000 poster, a fifth of its time on
// a virtual machine). Takes effect for threads that have not allocated yet. Video mode, whose
// threads allocate all the time, ran its person path slower on one heap.
void shareOneHeap();

// Starts the program once more, with the same arguments, with glibc's allocator told to ask the
// kernel for huge pages (the glibc.malloc.hugetlb tunable, which is read only when a process
// starts). The models touch a few hundred megabytes page by page, and on a virtual machine each
// page fault is dear: a 1 x 1 cut-out took 0.55 of its time with huge pages. Returns, and the
// program goes on as it is, when the tunables are set already (by this or by the user) or the
// program can't be started again.
void restartWithHugePages(char** argv);

}  // namespace plumvane
