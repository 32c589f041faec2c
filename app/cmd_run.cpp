#include "app/cmd_run.h"

#include <cstdio>
#include <cstring>

#include "app/prc.h"
#include "app/scoped.h"
#include "app/tim.h"
#include "base/base.h"

namespace {

int fail() {
  if (err_no >= 0) err_no = ERR_FAIL;  // a leftover end status is no failure value
  return err_no;
}

bool has_mrk(const char* s) { return std::strchr(s, CMD_VAL_BGN) != nullptr || std::strchr(s, CMD_VAL_END) != nullptr; }

// Steps over marks, noting whether a value is open.
size_t mrk_skp(const char* f, size_t i, bool& val) {
  while (f[i] == CMD_VAL_BGN || f[i] == CMD_VAL_END) val = f[i++] == CMD_VAL_BGN;
  return i;
}

}  // namespace

// The filled line with its marks taken out, as the process layer must split it: every character
// of a value stands for itself, whatever quotes, backslashes or blanks it holds. By the rules the
// C runtime splits a command line with, a value's double quote becomes \" and, where a run of
// backslashes ends at a quote, the backslashes meant literally are doubled (those of a value, and
// those of the template that stood before a placeholder); the template's own escapes are kept.
// Blanks are left alone: inside quotes they belong to the argument, outside they separate.
// `out` holds 2 * strlen(f) + 1 bytes.
void cmd_lit(const char* f, char* out) {
  char* o = out;
  bool val = false;
  size_t i = 0;
  for (;;) {
    i = mrk_skp(f, i, val);
    if (f[i] == '\0') break;
    if (f[i] == '\\') {
      bool v = val;
      size_t j = i;
      while (f[j = mrk_skp(f, j, v)] == '\\') ++j;
      const bool quote_next = f[j] == '"';
      while (f[i = mrk_skp(f, i, val)] == '\\') {
        bool lit = val;
        if (!val) {  // of the template: literal when its run went on into a placeholder
          size_t k = i;
          while (f[k] == '\\') ++k;
          lit = f[k] == CMD_VAL_BGN;
        }
        *o++ = '\\';
        if (quote_next && lit) *o++ = '\\';
        ++i;
      }
      continue;
    }
    if (f[i] == '"' && val) {
      *o++ = '\\';
      *o++ = f[i++];
      continue;
    }
    // A double-byte character whole: its trail byte may be 0x5C, which is no backslash.
    const char c = f[i];
    *o++ = f[i++];
    if (sjis_lead(static_cast<unsigned char>(c)) && f[i] != '\0' && f[i] != CMD_VAL_BGN && f[i] != CMD_VAL_END) *o++ = f[i++];
  }
  *o = '\0';
}

int cmd_run(const char* adr, const char* nam, const char* onoff, const char* cmd) {
  vmap vals = {};
  if (scoped([&] { return vmap_set(&vals, 0); }) != 0) return fail();
  // Released on every path: a watcher that runs for months must not leak on a bad template.
  char* line = nullptr;
  char* mrk = nullptr;
  auto done = [&](int r) {
    scoped([&] {
      vmap_end(&vals);
      _free(&line);
      _free(&mrk);
      return 0;
    });
    return r;
  };
  const char* const keys[4][2] = {{"addr", adr}, {"name", nam}, {"onoff", onoff}, {"time", tim_str()}};
  // Marks only where they cannot be mistaken for text (they never are in code page 932).
  bool mark = !has_mrk(cmd);
  size_t len = 0;
  for (const auto& kv : keys) {
    mark = mark && !has_mrk(kv[1]);
    len += std::strlen(kv[1]) + 3;
  }
  if (mark && scoped([&] { return _malloc(&mrk, static_cast<int>(len)); }) != 0) return done(fail());
  char* m = mrk;
  for (const auto& kv : keys) {
    const char* v = kv[1];
    if (mark) {
      v = m;
      m += std::snprintf(m, len - static_cast<size_t>(m - mrk), "%c%s%c", CMD_VAL_BGN, kv[1], CMD_VAL_END) + 1;
    }
    if (scoped([&] { return vmap_put_str_str(&vals, nullptr, kv[0], v, 0); }) != 0) return done(fail());
  }

  // The template's text stream and its Shift-JIS reader live here; the formatter ends them.
  const char* cur = cmd;
  stream tb = {};
  stream tc = {};
  stream fmt = {};
  stream_set(&tb, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&tc, &tb, &STREAM_OPS_SJIS);
  if (scoped([&] { return vmap_fmt_stream(&fmt, &vals, &tc); }) != 0) return done(fail());
  if (scoped([&] { return cstream_to_vstr(&fmt, &line); }) != 0) return done(fail());
  if (mark) {
    char* lit = nullptr;
    if (scoped([&] { return _malloc(&lit, static_cast<int>(2 * std::strlen(line) + 1)); }) != 0) return done(fail());
    cmd_lit(line, lit);
    scoped([&] {
      _free(&line);
      return 0;
    });
    line = lit;
  }

  // What the watcher printed so far comes out before anything the command prints.
  std::fflush(stdout);
  prc p = {};
  if (scoped([&] { return _prc_set(&p, line, nullptr, 0); }) != 0) return done(fail());
  scoped([&] { return _prc_end(&p, 1); });
  return done(0);
}
