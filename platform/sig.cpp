#include "platform/sig.h"

#include <signal.h>

#include <cstdlib>

#include "platform/process.h"

namespace {

volatile sig_atomic_t req = 0;

void on_sig(int s) {
  if (req == 0) req = s;
  prc_kill_all();
}

// The last exit handler: the others (the library's reports) have run, the program now ends as
// the signal would have ended it.
void die() {
  const int s = req;
  if (s == 0) return;
  signal(s, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, s);
  sigprocmask(SIG_UNBLOCK, &one, nullptr);
  raise(s);
}

// Registered before any static object of the program exists, so that it runs after every other
// exit handler.
__attribute__((constructor(101))) void die_reg() { std::atexit(die); }

}  // namespace

void sig_ini() {
  struct sigaction sa{};
  sa.sa_handler = on_sig;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;   // no SA_RESTART: a wait returns, and sees the request
  for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
}

bool sig_req() { return req != 0; }

void sig_chk() {
  if (req != 0) std::exit(128 + req);
}
