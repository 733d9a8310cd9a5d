#pragma once

#include <QtGlobal>

#include <functional>
#include <vector>

namespace core {
class FaceDetectionModule;
}

namespace cli {

struct BatchEvent {
    enum Kind { Started, Finished, Tick };
    Kind kind = Tick;
    int index = -1;  // the input concerned; -1 for Tick
};

// The work on input index, run on a worker thread with the worker's own module. Tasks of
// different inputs run at the same time, so a task writes only what belongs to its index.
using BatchTask = std::function<void(core::FaceDetectionModule& module, int index)>;
// Hears, on the calling thread, of every input started and finished, and about twice a second
// of nothing (Tick), to refresh a display. What a task wrote is visible here once Finished came.
using BatchListener = std::function<void(const BatchEvent& event)>;

// The memory the inputs may take at once: an input starts only when the needs of the inputs
// running and its own fit into budget, or when nothing else runs. No budget: no bound.
struct MemoryBound {
    std::vector<qint64> needs;  // bytes, by input index
    qint64 budget = 0;          // bytes; 0 or less for none
};

// Runs task for every index in [0, count) on up to workerCount threads at once, one input at a
// time per thread, the next input going to the first thread free, within memory. The first
// thread uses module, the others siblings of it (the landmark model is shared, never read
// twice). Returns when every input has finished; a task that throws counts as finished. With
// no thread to spare, runs on the calling thread.
void runBatch(core::FaceDetectionModule& module, int count, int workerCount, const BatchTask& task,
              const BatchListener& listener, const MemoryBound& memory = {});

} // namespace cli
