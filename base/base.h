// The public header of the base library.
#pragma once

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/rscmng.h"
#include "base/diag/mem_log.h"
#include "base/diag/tmr.h"
#include "base/diag/malloc.h"
#include "base/diag/stkptr.h"
#include "base/diag/ctoi.h"
#include "base/containers/map.h"
#include "base/containers/buf.h"
#include "base/variant/vtyp.h"
#include "base/variant/vmap.h"
#include "base/stream/stream.h"
#include "base/stream/bstream.h"
#include "base/stream/cstream.h"
#include "base/variant/vmap_fmt.h"
