/* SPDX-License-Identifier: MIT */
// Counting the allocations a test program makes. Link alloc_counter.cpp into
// the program, define what to do with each allocation:
//
//     void allocationSeen() { ... }
//
// and call installAllocationCounter() before counting. Without a sanitizer
// the program's own malloc family stands in front of the C library's; under
// the address sanitizer, which owns the allocator, its allocation hook does.
#pragma once

// Defined by the test program; called for every allocation.
void allocationSeen();

// True when the counter is in place.
bool installAllocationCounter();
