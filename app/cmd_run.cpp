#include "app/cmd_run.h"

#include <cstdio>

#include "app/prc.h"
#include "app/scoped.h"
#include "app/tim.h"
#include "base/base.h"

namespace {

int fail() {
  if (err_no >= 0) err_no = ERR_FAIL;  // a leftover end status is no failure value
  return err_no;
}

}  // namespace

int cmd_run(const char* adr, const char* nam, const char* onoff, const char* cmd) {
  vmap vals = {};
  if (scoped([&] { return vmap_set(&vals, 0); }) != 0) return fail();
  // Released on every path: a watcher that runs for months must not leak on a bad template.
  char* line = nullptr;
  auto done = [&](int r) {
    scoped([&] {
      vmap_end(&vals);
      _free(&line);
      return 0;
    });
    return r;
  };
  const char* const keys[4][2] = {{"addr", adr}, {"name", nam}, {"onoff", onoff}, {"time", tim_str()}};
  for (const auto& kv : keys)
    if (scoped([&] { return vmap_put_str_str(&vals, nullptr, kv[0], kv[1], 0); }) != 0) return done(fail());

  // The template's text stream and its Shift-JIS reader live here; the formatter ends them.
  const char* cur = cmd;
  stream tb = {};
  stream tc = {};
  stream fmt = {};
  stream_set(&tb, &cur, &STREAM_OPS_STR_CUR);
  stream_set(&tc, &tb, &STREAM_OPS_SJIS);
  if (scoped([&] { return vmap_fmt_stream(&fmt, &vals, &tc); }) != 0) return done(fail());
  if (scoped([&] { return cstream_to_vstr(&fmt, &line); }) != 0) return done(fail());

  // What the watcher printed so far comes out before anything the command prints.
  std::fflush(stdout);
  prc p = {};
  if (scoped([&] { return _prc_set(&p, line, nullptr, 0); }) != 0) return done(fail());
  scoped([&] { return _prc_end(&p, 1); });
  return done(0);
}
