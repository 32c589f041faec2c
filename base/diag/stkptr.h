// One-slot hand-over of an object made by a constructor called without a target.
#pragma once

using stkptr_end_fn = void (*)(void* obj);

// obj non-NULL: store obj and its release operation, return obj.
// obj NULL: take the stored object out (NULL when empty) and clear the slot.
void* stkptr(void* obj, stkptr_end_fn release);
