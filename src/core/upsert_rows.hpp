// Which rows of stored-then-incoming rows an upsert keeps. Plain C++ on code arrays, run with the
// GIL released.
#pragma once

#include <cstdint>
#include <vector>

namespace corvane::core {

// Row identities as per-column codes (one array per identifying column, `rows` codes each, every
// code >= 0 as factorize gives them without a missing-value sentinel): two rows are the same row
// exactly when all their codes agree. Rows [0, stored_rows) are stored, the rest incoming.
// Returns one flag per row: a stored row stays unless an incoming row shares its identity; an
// incoming row stays when no later incoming row shares it.
std::vector<uint8_t> upsert_keep_mask(const std::vector<const int64_t *> &columns, int64_t rows, int64_t stored_rows);

}  // namespace corvane::core
