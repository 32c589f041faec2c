// The scripted Bluetooth stack: each search hands out the next pass of a scenario file.
//
// Scenario (UTF-8, one directive a line, blanks around a line and lines starting with '#'
// ignored):
//   pass                              starts what the next search reports
//   device AA:BB:CC:DD:EE:FF FLAGS [NAME]
//                                     FLAGS "-" or letters C(onnected) R(emembered)
//                                     A(uthenticated); NAME the rest after one blank
//   wait MS                           the pass's search takes MS milliseconds
// After the last pass the next search ends the process with status 0; a bad file (a malformed
// line, a line longer than 64 KiB, a read that fails, memory that runs out while reading) ends
// it at the first search with status 2 and one line on standard error.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/bt_stk.h"

class bt_sim final : public bt_stk {
 public:
  // Reads the whole scenario at once; a fault is kept for the first search to report.
  explicit bt_sim(const char* pth);

  std::unique_ptr<bt_fnd> srch(const BLUETOOTH_DEVICE_SEARCH_PARAMS& prm) override;

  // The message the first search would print ("" when the scenario is sound).
  const std::string& err() const { return err_; }
  size_t pas_cnt() const { return pas_.size(); }

 private:
  struct dev {
    size_t nam_off;  // into nam_
    uint16_t nam_len;
    BYTE adr[6];  // least significant first
    BYTE flg;     // BT_DEV_*
  };
  struct pas {
    size_t dev_fst;  // into dev_; the pass ends where the next begins
    uint32_t wait_ms;
  };
  class fnd;

  bool lin(const char* s, size_t n);  // one trimmed line; false on a fault (err_ set)
  void flt(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

  std::string pth_;
  std::string err_;
  size_t lin_no_ = 0;
  std::vector<pas> pas_;
  std::vector<dev> dev_;
  std::u16string nam_;  // every name, back to back
  size_t nxt_ = 0;      // next pass to hand out
};
