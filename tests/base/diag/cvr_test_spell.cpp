#include "../diag/cvr_spell.h"

bool cvr_spell_other(bool v) { return cvr_spell_probe(v); }
