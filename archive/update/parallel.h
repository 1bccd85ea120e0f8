// Runs independent pieces of work on the compression threads. Internal.
#pragma once

#include <cstdint>

// Calls task(context, i) for every i below count, spread over the threads
// SetCompressionThreadCount allows (the calling thread among them), and
// returns once all are done. With one thread, or one piece, the caller runs
// them in order. Tasks must touch nothing but their own piece.
void RunInParallel(uint32_t count, void (*task)(void* context, uint32_t index), void* context);

// The threads work is spread over (at least 1).
uint32_t CompressionThreads();
