// The variant text notation written out: character streams that yield a node's value, a key,
// a key-value pair, or a whole vmap, in the form that _vmap_cstream reads back.
#pragma once
#include <cstdint>

#include "base/stream/stream.h"
#include "base/variant/vmap.h"

// Writer options (caller memory).
struct cstream_vtyp_opt {
  uint32_t fmt;   // format mode: below CSTREAM_VTYP_FMT_END (all accepted modes write alike)
  uint32_t rsv;   // not used by the writer
  uint32_t ind;   // TABs before a key; in a vmap's group mode, the group depth
  uint32_t flg;   // CSTREAM_VTYP_GRP
};
inline constexpr uint32_t CSTREAM_VTYP_FMT_END = 3;
// Group mode: keys without their path, nesting shown by bracketed groups.
inline constexpr uint32_t CSTREAM_VTYP_GRP = 1;

// Each writer appends character streams to out, which it makes a chain if it is not one yet
// (a stream already bound there becomes the chain's first member). out NULL: a new chain is
// allocated and left in the hand-over slot (stkptr), as stream_set does. The texts of the
// nodes are not copied: the nodes must outlive the output.
//
// The value: a word as it is; an integer in decimal, quoted when negative (a bare minus sign
// would not be read back); any other text quoted, with \\, \" and \n for a backslash, a
// quote and a line feed, the empty text as "".
int cstream_vtyp(stream* out, const vtyp* node, const cstream_vtyp_opt* opt);
// ind TABs, then unless in group mode the path of parents (each value and "/"), the key.
int cstream_vtyp_key(stream* out, const vtyp* key, const cstream_vtyp_opt* opt);
// The key, then "=" and the value linked in the key's slot 0; a key without value alone.
int cstream_vtyp_pr(stream* out, const vtyp* key, const cstream_vtyp_opt* opt);

// Internal steps shared by the writers. out made a chain (see above); 0 or -1.
int __cstream_vtyp_chn(stream* out);
// Appends a character stream over a constant text, and n TABs.
int __cstream_vtyp_txt(stream* out, const char* txt);
int __cstream_vtyp_tab(stream* out, uint32_t n);

// The vmap-to-text stream: one line per entry, in the iteration's order.
struct cstream_vmap_st {
  stream out;              // the output chain: what is still to come of the lines written
  vmap_itr itr;
  cstream_vtyp_opt opt;    // the caller's, with the group depth as its indent in group mode
  vtyp* lst;               // the entry written last
  vtyp* grp;               // the parent of the current group's entries
};

// Binds strm (NULL: a new object in the hand-over slot) to a stream that writes the entries
// under prn (NULL: the top level) as vmap_rng_pop_set(vm, prn, req) visits them: with
// VMAP_RNG_CTL in req the whole tree, depth first. In group mode the option's indent is not
// used (the depth starts at 0). vm must not change while the stream lives.
int cstream_vmap_set(stream* strm, vmap* vm, vtyp* prn, uint32_t req, const cstream_vtyp_opt* opt);
// 0 with a character, 1 at the end of the text.
int _cstream_vmap_pop(void* state, void* out);
// Ends the output chain and the iteration and frees the state.
void _cstream_vmap_end(void* state);

inline constexpr stream_ops STREAM_OPS_VMAP_TXT{_cstream_vmap_pop, nullptr, _cstream_vmap_end,
                                                nullptr};
