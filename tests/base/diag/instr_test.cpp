// What the library records of its own work over a fixed workload, against the record its steps
// make (instr_test.txt beside this file; see tests/instr_golden.h).
#include <gtest/gtest.h>

#include "instr_golden.h"

namespace {

// One option text through the notation reader: the splitter, the three analyzers, the map.
void parser_workload() {
  rscmng_scp scp;
  const char* cur = "cmdon=\"notify-send \\\"@name@\\\" \x83\x5C\";c=1; dbgcnt ;t=8;[x]";
  stream bs = {};
  stream cs = {};
  stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&cs, &bs, &STREAM_OPS_SJIS);
  vmap opts = {};
  vmap_set(&opts, 0);
  _vmap_cstream(&opts, nullptr, &cs, 0);
  vmap_end(&opts);
}

TEST(Instr, TheLibraryRecordsWhatItsStepsMake) {
  const std::string lib = instr::record(instr::lib_workload);
  const std::string parser = instr::record(parser_workload);
  instr::expect("== lib\n" + lib + "== parser\n" + parser, KESTREL_TEST_SRC "/base/diag/instr_test.txt");
}

}  // namespace
