#include "app/start.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "app/cmd_run.h"
#include "app/dev_chk.h"
#include "app/opt.h"
#include "app/scoped.h"
#include "base/base.h"
#include "platform/console.h"
#include "platform/mqtt.h"
#include "platform/sig.h"
#include "platform/svc.h"

namespace {

int fail() {
  if (err_no == 0) err_no = ERR_FAIL;
  return err_no;
}

}  // namespace

int opt_scn(vmap* opts, int argc, char** argv) {
  for (int i = 1; i < argc && argv[i][0] == '/'; ++i) {
    // Each argument in a scope of its own: nothing of one parse outlives it but the map.
    const int st = scoped([&] {
      // The text after the slash, read in the user's set (code page 932 unless
      // KESTREL_CHARSET names another), as Shift-JIS characters: a text byte stream over a
      // cursor held here, under the decoder, both built in place.
      std::string txt;
      try {
        txt = con_arg(argc, argv, i).substr(1);
      } catch (...) {
        return -1;
      }
      const char* cur = txt.c_str();
      stream bs = {};
      stream cs = {};
      stream_set(&bs, &cur, &STREAM_OPS_STR_CUR);
      stream_set(&cs, &bs, &STREAM_OPS_SJIS);
      const int r = _vmap_cstream(opts, nullptr, &cs, 0);
      // The status stays the parser's; a person (or a journal) gets one line of why.
      if (r != 0) {
        try {
          // The argument as given, on one line whatever it holds.
          std::string arg = argv[i];
          for (char& c : arg)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
          std::string why = "cannot be read";
          opt_why(txt.c_str(), &why);
          std::fprintf(stderr, "kestrel: option \"%s\": %s\n", arg.c_str(), why.c_str());
        } catch (...) {
        }
      }
      return r;
    });
    if (st != 0) return st;
  }
  return 0;
}

bool opt_int_txt(const char* txt, int32_t* out) {
  const char* p = txt;
  if (*p == '+' || *p == '-') ++p;
  if (*p == '\0') return false;
  for (const char* q = p; *q != '\0'; ++q)
    if (*q < '0' || *q > '9') return false;
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(txt, &end, 10);
  if (errno != 0 || *end != '\0' || v < INT32_MIN || v > INT32_MAX) return false;
  *out = static_cast<int32_t>(v);
  return true;
}

void opt_rd(vmap* opts) {
  for (const opt_row& r : opt_tbl) {
    switch (r.knd) {
      case opt_knd::flg: {
        vtyp* ent = nullptr;
        if (scoped([&] { return vmap_ref_str(opts, nullptr, r.name, &ent); }) == 0)
          *static_cast<int32_t*>(r.tgt) = r.val;
        break;
      }
      case opt_knd::int_: {
        // The option notation stores every value as text: a decimal text counts as well.
        int32_t v = r.val;
        const char* txt = nullptr;
        // A negative count or timeout means nothing: the default, as for any unreadable value.
        if ((scoped([&] { return vmap_get_str_int(opts, nullptr, r.name, &v); }) != 0 &&
             !(scoped([&] { return vmap_get_str_str(opts, nullptr, r.name, &txt); }) == 0 &&
               opt_int_txt(txt, &v))) ||
            v < 0)
          v = r.val;
        *static_cast<int32_t*>(r.tgt) = v;
        break;
      }
      case opt_knd::txt: {
        const char* txt = nullptr;
        if (scoped([&] { return vmap_get_str_str(opts, nullptr, r.name, &txt); }) != 0) txt = r.txt;
        *static_cast<const char**>(r.tgt) = txt;
        break;
      }
    }
  }
  opt_rcd.cmd_use = (*opt_rcd.cmdon != '\0' || *opt_rcd.cmdoff != '\0') ? 1 : 0;
}

namespace {

// The environment read at start-up: one line on standard error and status 2 for a bad value.
int env_tmo() {
  const char* v = std::getenv("KESTREL_CMD_TIMEOUT");
  if (v == nullptr || *v == '\0') return 0;
  int32_t s = 0;
  if (!opt_int_txt(v, &s) || s < 1 || s > CMD_TMO_MAX_S) {
    std::fprintf(stderr, "kestrel: KESTREL_CMD_TIMEOUT=\"%s\": not a whole number of seconds from 1 to %d\n", v,
                 CMD_TMO_MAX_S);
    return 2;
  }
  cmd_tmo_set(static_cast<unsigned long>(s) * 1000);
  return 0;
}

int env_max() {
  const char* v = std::getenv("KESTREL_TABLE_MAX");
  if (v == nullptr || *v == '\0') return 0;
  int32_t n = 0;
  if (!opt_int_txt(v, &n) || n < 1) {
    std::fprintf(stderr, "kestrel: KESTREL_TABLE_MAX=\"%s\": not a whole number of devices from 1 to %d\n", v,
                 INT32_MAX);
    return 2;
  }
  dev_tbl_max_set(static_cast<uint32_t>(n));
  return 0;
}

}  // namespace

int start_up(int argc, char** argv) {
  if (const int st = env_tmo(); st != 0) return st;
  if (const int st = env_max(); st != 0) return st;
  // Both maps live for the whole run: the watch loop never ends.
  static vmap opts;
  static vmap devs;
  if (scoped([&] { return vmap_set(&opts, 0); }) != 0) return fail();
  if (scoped([&] { return opt_scn(&opts, argc, argv); }) != 0) return fail();
  opt_rcd.fp = 1;
  opt_rd(&opts);
  // After the options: an argument that ends the start-up never reaches the broker.
  if (const int st = mqtt_ini(); st != 0) return st;
  // A placeholder no command can fill is named now, not at the first change hours later.
  for (const char* t : {opt_rcd.cmdon, opt_rcd.cmdoff})
    if (*t != '\0') cmd_tpl_say(t);
  if (scoped([&] { return vmap_set(&devs, VMAP_NST); }) != 0) return fail();
  svc_ready();
  for (;;) {
    dev_chk(&devs);
    sig_chk();
    svc_alive();
  }
}
