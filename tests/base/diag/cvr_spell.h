// A condition of a header, inlined into each file that includes it: one condition site shared
// by two files that spell the header's path differently (cvr_test.cpp, cvr_test_spell.cpp).
#pragma once
#include "base/diag/cvr.h"

[[gnu::always_inline]] inline bool cvr_spell_probe(bool v) { return CVR(v); }

// The same condition, reached from the file that spells the path the other way.
bool cvr_spell_other(bool v);
