// Limits of the evaluation of compiled expression trees.
#pragma once

#include <cstdint>

#include "format.h"

// Number of nested EXISTS variables one expression may use.
constexpr int dbMaxExistsSlots = 3;
// Bytes of temporary strings one evaluation keeps on the stack before it takes
// blocks from the heap.
constexpr uint32_t dbEvaluationScratchSize = 8192;
