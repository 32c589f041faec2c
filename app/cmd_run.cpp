#include "app/cmd_run.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/prc.h"
#include "app/scoped.h"
#include "app/tim.h"
#include "base/base.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/sig.h"
#include "platform/svc.h"

namespace {

int fail() {
  if (err_no >= 0) err_no = ERR_FAIL;  // a leftover end status is no failure value
  return err_no;
}

unsigned long tmo_ms = 0;

constexpr const char* KEYS[4] = {"addr", "name", "onoff", "time"};

// One character of code page 932 text at s: 2 bytes for a lead byte with its trail, else 1.
size_t chr_len(const char* s) {
  return sjis_lead(static_cast<unsigned char>(s[0])) && s[1] != '\0' ? 2 : 1;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// The characters cmd.exe gives a meaning of its own, even inside double quotes.
bool cmd_special(unsigned char c) { return c != 0 && std::strchr("\"%!^&|<>()", c) != nullptr; }

// Writes one line on standard error; control characters of the texts it names become "?".
void err_line(const char* fmt, const std::string& a, const std::string& b = "") {
  auto clean = [](std::string s) {
    for (char& c : s)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return s;
  };
  std::fflush(stdout);
  std::fprintf(stderr, fmt, clean(a).c_str(), clean(b).c_str());
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// At most one line a minute about one template: a command that fails at every change of every
// device would otherwise fill the journal.
bool may_say(const char* tpl) {
  struct said {
    std::string tpl;
    uint64_t at;
  };
  static std::vector<said> log;
  const uint64_t now = mono_ms();
  for (said& s : log) {
    if (s.tpl != tpl) continue;
    if (now - s.at < 60000) return false;
    s.at = now;
    return true;
  }
  log.push_back({tpl, now});
  return true;
}

// The line cmd_lit makes, as the process layer splits it.
struct lit {
  char* out;
  bool batch;
  bool quoted = false;   // inside a double-quoted group
  size_t arg_len = 0;    // characters of the current argument so far
  size_t bs = 0;         // backslashes to stand for themselves, not yet written
  size_t close_at = SIZE_MAX;  // where the group's closing quote was written just before a value

  void put(char c) { *out++ = c; }
  // The pending literal backslashes, doubled when a quote follows (the split halves them there).
  void flush_bs(bool quote_next) {
    for (size_t k = 0; k < (quote_next ? 2 * bs : bs); ++k) put('\\');
    arg_len += bs;
    bs = 0;
  }
  void blank(char c) {
    flush_bs(false);
    put(c);
    arg_len = 0;
  }
};

}  // namespace

void cmd_tmo_set(unsigned long ms) { tmo_ms = ms; }

// By the rules of the Windows C runtime's split: blanks separate outside quotes; a quote opens
// or closes a group ("" inside a group is a literal quote); 2n backslashes before a quote give
// n, 2n+1 give n and a literal quote; other backslashes stand for themselves. The template's
// text keeps its meaning under these rules. A value's characters all stand for themselves, but
// blanks outside quotes still separate: a value's quote becomes \", and backslashes meant
// literally (a value's, and the template's that run on into a value) are doubled where the run
// ends at a quote. An empty value between a group's closing quote and the next opening one would
// leave "" (a literal quote) behind: both quotes are left out instead, which keeps the group.
void cmd_lit(const char* f, bool batch, char* out) {
  lit l{out, batch};
  bool val = false;
  size_t i = 0;
  // The template's byte at j: its own text, an escaped 0xFE or 0xFF, or 0 at a mark or the end.
  auto raw = [&](size_t j) -> char {
    if (f[j] != CMD_ESC) return f[j];
    if (f[j + 1] == CMD_ESC_FE) return CMD_ESC;
    if (f[j + 1] == CMD_ESC_FF) return '\xFF';
    return '\0';
  };
  auto step = [&](size_t j) -> size_t { return f[j] == CMD_ESC ? 2 : 1; };
  auto at_mark = [&](size_t j) { return f[j] == CMD_ESC && (f[j + 1] == CMD_VAL_BGN || f[j + 1] == CMD_VAL_END); };
  while (f[i] != '\0') {
    if (at_mark(i)) {
      val = f[i + 1] == CMD_VAL_BGN;
      i += 2;
      continue;
    }
    if (f[i] == CMD_ESC && f[i + 1] == '\0') break;   // a cut escape: nothing more
    if (val) {
      const auto c = static_cast<unsigned char>(f[i]);
      const size_t n = chr_len(f + i) == 2 && !at_mark(i + 1) ? 2 : 1;
      l.close_at = SIZE_MAX;
      if (n == 2) {
        // A double-byte character: its trail byte is no backslash or quote; for cmd.exe a trail
        // byte that is one of its specials on another code page does not pass either.
        l.flush_bs(false);
        if (l.batch && cmd_special(static_cast<unsigned char>(f[i + 1]))) {
          l.put('?');
        } else {
          l.put(f[i]);
          l.put(f[i + 1]);
        }
        ++l.arg_len;
      } else if (is_blank(f[i]) && !l.quoted) {
        l.blank(f[i]);
      } else if (f[i] == '\\' && !l.batch) {
        ++l.bs;
      } else if (f[i] == '"' && !l.batch) {
        l.flush_bs(true);
        l.put('\\');
        l.put('"');
        ++l.arg_len;
      } else {
        const bool first = l.arg_len == 0 && l.bs == 0;
        l.flush_bs(false);
        l.put((first && c == '-') || (l.batch && cmd_special(c)) ? '?' : f[i]);
        ++l.arg_len;
      }
      i += n;
      continue;
    }
    const char c = raw(i);
    if (c == '\\') {
      size_t n = 0;
      size_t j = i;
      while (raw(j) == '\\' && f[j] != CMD_ESC) {
        ++n;
        ++j;
      }
      l.close_at = SIZE_MAX;
      if (at_mark(j)) {   // the run goes on into a value: literal, as the value's own are
        l.bs += n;
      } else if (raw(j) == '"' && f[j] != CMD_ESC) {   // the template's own escape: as it stands
        l.flush_bs(true);   // a value's backslashes before it: the run now ends at a quote
        for (size_t k = 0; k < n; ++k) l.put('\\');
        l.arg_len += n / 2;
        if (n % 2 != 0) {
          l.put('"');
          ++l.arg_len;
          ++j;
        }
      } else {
        l.flush_bs(false);
        for (size_t k = 0; k < n; ++k) l.put('\\');
        l.arg_len += n;
      }
      i = j;
      continue;
    }
    if (c == '"' && f[i] != CMD_ESC) {
      if (l.quoted && raw(i + 1) == '"' && f[i + 1] != CMD_ESC) {   // "" in a group: a quote
        l.flush_bs(false);
        l.put('"');
        l.put('"');
        ++l.arg_len;
        l.close_at = SIZE_MAX;
        i += 2;
        continue;
      }
      l.flush_bs(true);
      if (!l.quoted && l.close_at != SIZE_MAX) {
        // Closed right before a value that left nothing: the group goes on.
        l.out = out + l.close_at;
        l.close_at = SIZE_MAX;
        l.quoted = true;
        ++i;
        continue;
      }
      const bool closes = l.quoted;
      l.quoted = !l.quoted;
      if (closes && at_mark(i + 1)) l.close_at = static_cast<size_t>(l.out - out);
      else l.close_at = SIZE_MAX;
      l.put('"');
      ++i;
      continue;
    }
    l.close_at = SIZE_MAX;
    if (is_blank(c) && !l.quoted) {
      l.blank(c);
      ++i;
      continue;
    }
    l.flush_bs(false);
    if (c != '\0' && sjis_lead(static_cast<unsigned char>(c)) && raw(i + step(i)) != '\0' && f[i + step(i)] != CMD_ESC) {
      l.put(c);
      l.put(f[i + 1]);
      i += 2;
    } else {
      l.put(c);
      i += step(i);
    }
    ++l.arg_len;
  }
  l.flush_bs(false);
  *l.out = '\0';
}

int cmd_tpl_chk(const char* tpl, const char** at, size_t* len) {
  for (const char* p = tpl; *p != '\0'; p += chr_len(p)) {
    if (*p != '@') continue;
    const char* b = p + 1;
    const char* e = b;
    while (*e != '\0' && *e != '@') e += chr_len(e);
    if (*e == '\0') {
      *at = p;
      *len = 1;
      return 2;
    }
    const auto n = static_cast<size_t>(e - b);
    bool known = n == 0;
    for (const char* k : KEYS) known = known || (std::strlen(k) == n && std::strncmp(k, b, n) == 0);
    if (!known) {
      *at = b;
      *len = n;
      return 1;
    }
    p = e;
  }
  return 0;
}

bool cmd_tpl_say(const char* tpl) {
  const char* at = nullptr;
  size_t n = 0;
  const int why = cmd_tpl_chk(tpl, &at, &n);
  if (why != 0 && may_say(tpl))
    err_line(why == 1 ? "kestrel: event command not run: unknown placeholder @%s@ in \"%s\""
                      : "kestrel: event command not run: an \"@\" without its closing \"@\"%s in \"%s\"",
             why == 1 ? std::string(at, n) : "", tpl);
  return why != 0;
}

int cmd_run(const char* adr, const char* nam, const char* onoff, const char* cmd) {
  vmap vals = {};
  if (scoped([&] { return vmap_set(&vals, 0); }) != 0) return fail();
  // Released on every path: a watcher that runs for months must not leak on a bad template.
  char* line = nullptr;
  char* buf = nullptr;
  auto done = [&](int r) {
    scoped([&] {
      vmap_end(&vals);
      _free(&line);
      _free(&buf);
      return 0;
    });
    return r;
  };
  // One block: the template with its 0xFE and 0xFF bytes escaped, then each value between its
  // marks (a value's own 0xFE and 0xFF, which code page 932 text never holds, become "?").
  const char* const vs[4] = {adr, nam, onoff, tim_str()};
  size_t len = 2 * std::strlen(cmd) + 1;
  for (const char* v : vs) len += std::strlen(v) + 5;
  if (scoped([&] { return _malloc(&buf, static_cast<int>(len)); }) != 0) return done(fail());
  char* tpl = buf;
  char* m = buf;
  for (const char* p = cmd; *p != '\0'; ++p) {
    if (*p == CMD_ESC || *p == '\xFF') {
      *m++ = CMD_ESC;
      *m++ = *p == CMD_ESC ? CMD_ESC_FE : CMD_ESC_FF;
    } else {
      *m++ = *p;
    }
  }
  *m++ = '\0';
  for (int k = 0; k < 4; ++k) {
    char* v = m;
    *m++ = CMD_ESC;
    *m++ = CMD_VAL_BGN;
    for (const char* p = vs[k]; *p != '\0'; ++p) *m++ = *p == CMD_ESC || *p == '\xFF' ? '?' : *p;
    *m++ = CMD_ESC;
    *m++ = CMD_VAL_END;
    *m++ = '\0';
    if (scoped([&] { return vmap_put_str_str(&vals, nullptr, KEYS[k], v, 0); }) != 0) return done(fail());
  }

  // The template's text stream and its Shift-JIS reader live here; the formatter ends them.
  const char* cur = tpl;
  stream tb = {};
  stream tc = {};
  stream fmt = {};
  stream_set(&tb, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&tc, &tb, &STREAM_OPS_SJIS);
  if (scoped([&] { return vmap_fmt_stream(&fmt, &vals, &tc); }) != 0) return done(fail());
  if (scoped([&] { return cstream_to_vstr(&fmt, &line); }) != 0) {
    cmd_tpl_say(cmd);
    return done(fail());
  }

  // The program the line names, found as the process layer will run it; a batch file or
  // cmd.exe reads its line with rules of its own.
  const size_t cap = 2 * std::strlen(line) + 1;
  char* lit_line = nullptr;
  if (scoped([&] { return _malloc(&lit_line, static_cast<int>(cap)); }) != 0) return done(fail());
  cmd_lit(line, false, lit_line);
  std::string prog;
  std::string path;
  try {
    const std::vector<std::string> args = cmdline_split(lit_line);
    if (!args.empty()) prog = args[0];
  } catch (...) {
    scoped([&] { return _free(&lit_line), 0; });
    return done(fail());
  }
  const int found = prog.empty() ? PRC_FND_NONE : prc_fnd(prog.c_str(), &path);
  if (found == 0 && prc_is_cmd(path.c_str())) cmd_lit(line, true, lit_line);
  scoped([&] { return _free(&line), 0; });
  line = lit_line;
  if (found != 0) {
    if (may_say(cmd))
      err_line(prog.empty() ? "kestrel: event command not run: no program%s in \"%s\""
                            : "kestrel: event command not run: \"%s\" not found (template \"%s\")",
               prog, cmd);
    return done(fail());
  }

  // What the watcher printed so far comes out before anything the command prints.
  std::fflush(stdout);
  prc p = {};
  if (scoped([&] { return _prc_set(&p, path.c_str(), line, 0); }) != 0) {
    const std::string why = prc_err_txt(GetLastError());
    if (may_say(cmd)) err_line("kestrel: event command not run: \"%s\" cannot start: %s", path, why);
    return done(fail());
  }
  if (tmo_ms != 0 && WaitForSingleObject(p.pi.hProcess, static_cast<DWORD>(tmo_ms)) == WAIT_TIMEOUT) {
    err_line("kestrel: event command \"%s\" still running after %s s: ended", path,
             std::to_string(tmo_ms / 1000));
    scoped([&] { return _prc_end(&p, 0); });   // ends it, with everything it started
    return done(0);
  }
  scoped([&] { return _prc_end(&p, 1); });
  // A request to end the program ended the command: the program ends now, before the pass
  // starts another.
  sig_chk();
  svc_alive();   // a pass with many commands is no watcher that hangs
  return done(0);
}
