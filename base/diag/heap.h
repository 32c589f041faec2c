// The heap as the library takes it: every block of the library, its diagnostics included,
// comes from here, so that a test can make any one allocation fail.
#pragma once
#include <cstddef>
#include <cstdint>

void* heap_alc(size_t n);
void* heap_alc0(size_t cnt, size_t siz);   // zero-filled
void* heap_rea(void* p, size_t n);
void heap_fre(void* p);

// Tests only. heap_fail_set(k): the k-th allocation from now fails (1 = the next one), once;
// 0 turns the failure off. heap_cnt: allocations asked for so far, failed ones included.
void heap_fail_set(uint64_t k);
uint64_t heap_cnt();

// What the heap calls reach: the C runtime's heap unless a test sets another (for instance one
// that hands out addresses in the order blocks are asked for). NULL restores the runtime's.
struct heap_ops {
  void* (*alc)(size_t n);
  void* (*alc0)(size_t cnt, size_t siz);
  void* (*rea)(void* p, size_t n);
  void (*fre)(void* p);
};
void heap_ops_set(const heap_ops* ops);
