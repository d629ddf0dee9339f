// A busy producer's hand-over of the GIL to the writer that holds a frame.
#pragma once

#include "records.hpp"

namespace stashel {

// After a queued frame: while a writer of `record`'s instance holds a frame,
// gives the GIL up until that frame is written, at most 0.05 ms, and at most
// once per 0.05 ms of the calling thread's own time. A producer that
// computes in Python would otherwise keep the GIL from the writer for a
// whole switch interval (5 ms) each time the writer needs it, several times
// per frame.
void let_writers_run(const WriterRecord& record);

// A writer finished a frame: lets a producer waiting for it go.
void frame_done();

// In a forked child, where a thread that is not there may have been waiting.
void reset_hand_over_after_fork();

}  // namespace stashel
