#include "base/diag/ctoi.h"

#include "base/diag/cvr.h"
#include "base/diag/err.h"
#include "base/diag/mem_log.h"

int ctoi(int ch) {
  // The C locale's digit test, without isdigit's undefined behaviour outside unsigned char.
  if (CVR(ch >= '0' && ch <= '9')) return ch - 48;
  static int slot = 0;
  mem_log_psh(&slot, -1, __FILE__, __LINE__, "Error", 5, __mem_log_txt_prt);
  if (CVR(!(err_no < 0 && err_code(err_no) != 0))) err_no = ERR_FAIL;
  return ch - 48;
}
