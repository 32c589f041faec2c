#include "base/diag/err.h"

int32_t err_no = 0;
