// The library's table of late-bound system functions: one entry per function, built
// while the module loads and destroyed when it unloads. Nothing in this module calls
// through them, so building and destroying the table loads no module.
#pragma once

#include "late_bound.h"

#include <cstddef>

constexpr std::size_t late_bound_table_rows = 80;

// Builds the entries in row order. Returns false when one cannot be built (its lock
// cannot be created, or memory runs out); those built before it are destroyed again and
// there is no table. Harmless when the table exists already.
bool late_bound_table_create() noexcept;
// Destroys the entries in reverse row order, each freeing the module it loaded, if any.
// Harmless when there is no table.
void late_bound_table_destroy() noexcept;
// The entry of a row, counted from 0; null when there is no table or row is past the end.
late_bound_entry_t* late_bound_table_row(std::size_t row) noexcept;
