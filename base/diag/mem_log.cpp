#include "base/diag/mem_log.h"

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/diag/cvr.h"
#include "base/diag/fil.h"
#include "base/diag/rscmng.h"

uint32_t mem_log_mod = 0x1F;

namespace {

uint64_t prc_cnt_ = 0;

mem_log_rcd ring_[MEM_LOG_RING];
int nxt_ = 0;
int cnt_ = 0;

FILE* log_ = nullptr;
FILE* err_ = nullptr;
FILE* lgt_ = nullptr;
int lgt_cnt_ = 0;
bool prt_busy_ = false;

inline bool mod(uint32_t bits) { return (mem_log_mod & bits) == bits; }

const char* env_or(const char* name, const char* dfl) {
  const char* v = std::getenv(name);
  return CVR(v != nullptr && *v != '\0') ? v : dfl;
}

FILE* open_reg(const char* path, const char* fnc) {
  FILE* f = diag_fopen(path);
  return static_cast<FILE*>(rscmng_psh(nullptr, f, sizeof(FILE), 0, __FILE__, __LINE__, fnc, "fopen"));
}

int close_reg(FILE*& f) {
  rscmng_del(nullptr, f, 0, __FILE__, __LINE__, "mem_log_end", "fclose");
  const int r = std::fclose(f);
  f = nullptr;
  return r;
}

// Every light-log line is 255 blanks and a line feed until a record overwrites its start.
void lgt_blank(long line) {
  static const char blank[MEM_LOG_LGT_LINE] = {
#define B8 ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '
#define B64 B8, B8, B8, B8, B8, B8, B8, B8
      B64, B64, B64, B8, B8, B8, B8, B8, B8, B8, ' ', ' ', ' ', ' ', ' ', ' ', ' ', '\n'};
#undef B64
#undef B8
  static_assert(sizeof blank == 256);
  std::rewind(lgt_);
  std::fseek(lgt_, line * MEM_LOG_LGT_LINE, SEEK_SET);
  std::fwrite(blank, 1, sizeof blank, lgt_);
}

void mem_log_ext() { mem_log_end(); }

}  // namespace

uint64_t __prc_cnt(uint64_t* out) {
  if (CVR(out != nullptr)) *out = prc_cnt_;
  return prc_cnt_++;
}

void mem_log_rcd_prt(FILE* stream, const mem_log_rcd* rec, int lgt) {
  char txt[MEM_LOG_PAY];
  std::snprintf(txt, sizeof txt, "%s(%d) PRC:%s err_no:%d/0x%x prc_cnt:%lld", rec->file, rec->line,
                "???by" __FILE__, rec->err, static_cast<unsigned>(rec->err),
                static_cast<long long>(rec->prc_cnt));
  std::fprintf(stream, "%s", txt);
  if (CVR(lgt == 0)) {
    std::fputs(" ", stream);
    if (CVR(rec->prt != nullptr)) rec->prt(stream, rec->buf);
    std::fputs("\n", stream);
  }
}

int mem_log_psh(int* slot, int32_t err, const char* file, int line, const void* payload,
                uint32_t len, mem_log_prt_fn prt) {
  if (CVR(len > MEM_LOG_PAY)) return -1;
  if (CVR(!mod(MEM_LOG_INI))) {
    if (CVR(!mod(MEM_LOG_EXT))) {
      mem_log_mod |= MEM_LOG_EXT;
      std::atexit(mem_log_ext);
    }
    if (CVR(mod(MEM_LOG_FIL | MEM_LOG_FIL_NOW) && log_ == nullptr))
      log_ = open_reg(env_or("BAS_MEMLOG_PATH", "memlog.log"), "mem_log_psh");
    if (CVR(mod(MEM_LOG_ERR | MEM_LOG_ERR_NOW))) err_ = stderr;
    if (CVR(mod(MEM_LOG_LGT) && lgt_ == nullptr)) {
      lgt_ = open_reg(env_or("BAS_MEMLLOG_PATH", "memlightlog.log"), "mem_log_psh");
      if (CVR(lgt_ != nullptr)) lgt_blank(0);
    }
    mem_log_mod |= MEM_LOG_INI;
  }
  int lgt_line = 0;
  if (CVR(slot != nullptr)) {
    if (CVR(*slot == 0)) {
      *slot = ++lgt_cnt_;
      if (CVR(lgt_ != nullptr)) lgt_blank(*slot);
    }
    lgt_line = *slot;
  }
  const int i = nxt_;
  nxt_ = (i + 1) % MEM_LOG_RING;
  if (CVR(cnt_ < MEM_LOG_RING)) ++cnt_;

  mem_log_rcd& r = ring_[i];
  r.tim = static_cast<int64_t>(std::time(nullptr));
  r.prc_cnt = __prc_cnt(nullptr);
  r.prt = prt;
  // A record without payload must not show the payload of the record it overwrote.
  std::memset(r.buf, 0, sizeof r.buf);
  if (CVR(payload != nullptr && len > 0)) std::memcpy(r.buf, payload, len);
  r.line = line;
  r.file = file;
  r.err = err;

  if (CVR(mod(MEM_LOG_FIL_NOW) && log_ != nullptr)) mem_log_rcd_prt(log_, &r, 0);
  if (CVR(mod(MEM_LOG_ERR_NOW) && err_ != nullptr)) mem_log_rcd_prt(err_, &r, 0);
  if (CVR(mod(MEM_LOG_LGT) && lgt_ != nullptr && lgt_line != 0)) {
    std::rewind(lgt_);
    std::fseek(lgt_, lgt_line * MEM_LOG_LGT_LINE, SEEK_SET);
    mem_log_rcd_prt(lgt_, &r, 1);
    std::fflush(lgt_);
  }
  return 0;
}

void mem_log_prt() {
  if (CVR(prt_busy_)) return;
  prt_busy_ = true;
  const int old = CVR(cnt_ == MEM_LOG_RING) ? nxt_ : 0;
  if (CVR(mod(MEM_LOG_FIL) && log_ == nullptr))
    log_ = open_reg(env_or("BAS_MEMLOG_PATH", "memlog.log"), "mem_log_prt");
  if (CVR(mod(MEM_LOG_ERR) && err_ == nullptr)) err_ = stderr;
  const bool to_log = CVR(mod(MEM_LOG_FIL) && !mod(MEM_LOG_FIL_NOW) && log_ != nullptr);
  const bool to_err = CVR(mod(MEM_LOG_ERR) && !mod(MEM_LOG_ERR_NOW) && err_ != nullptr);
  if (CVR(to_err)) std::fputs("##memlog##\n", err_);
  for (int k = 0; CVR(k < cnt_); ++k) {
    const mem_log_rcd& r = ring_[(old + k) % MEM_LOG_RING];
    if (CVR(to_log)) mem_log_rcd_prt(log_, &r, 0);
    if (CVR(to_err)) mem_log_rcd_prt(err_, &r, 0);
  }
  prt_busy_ = false;
}

int mem_log_end() {
  mem_log_prt();
  int r = 0;
  if (CVR(log_ != nullptr)) r = close_reg(log_);
  if (CVR(lgt_ != nullptr)) r = close_reg(lgt_);
  return r;
}

void __mem_log_txt_prt(FILE* stream, const void* payload) {
  char txt[MEM_LOG_PAY];
  std::memcpy(txt, payload, sizeof txt);
  txt[MEM_LOG_PAY - 1] = '\0';
  std::fprintf(stream, "%s", txt);
}

int __src_pos_fprint(FILE* stream, const src_pos* pos) {
  if (CVR(stream == nullptr || pos == nullptr)) return -1;
  std::fprintf(stream, "%s(%d),%s,%s", pos->file, pos->line, pos->fnc, pos->about);
  return 0;
}

const mem_log_rcd* mem_log_get(int i) {
  if (CVR(i < 0 || i >= cnt_)) return nullptr;
  const int old = CVR(cnt_ == MEM_LOG_RING) ? nxt_ : 0;
  return &ring_[(old + i) % MEM_LOG_RING];
}
