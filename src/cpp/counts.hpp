// The writers' counts, handed to the package's Python side at load.
#pragma once

#include "pyref.hpp"

namespace stashel {

// Puts writer_counts(store) and process_counts() into kelm_sdk.redis._counts.
// Throws PyErrSet.
void hand_over_counts(Borrowed module);

}  // namespace stashel
