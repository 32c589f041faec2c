// What the watcher's passes make the library record, against the record its steps make
// (instr_test.txt beside this file; see tests/instr_golden.h).
#include <gtest/gtest.h>

#include "app/dev_chk.h"
#include "app/opt.h"
#include "platform/bt_stk.h"
#include "test_util.h"
#define INSTR_WATCH
#include "instr_golden.h"

namespace {

TEST(Instr, ThePassesRecordWhatTheirStepsMake) {
  tu::tmp_dir dir;
  const std::string scn = dir.file("s.scn");
  instr::expect(instr::record([&] { instr::watch_workload(scn); }), KESTREL_TEST_SRC "/app/instr_test.txt");
}

}  // namespace
