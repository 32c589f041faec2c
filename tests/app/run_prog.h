// Runs the kestrel program as a child and collects what it printed and how it ended.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace tu {

struct prog_out {
  std::string out;
  std::string err;
  int status = -1;   // exit status, or -1 if it did not exit normally
  bool timed_out = false;
};

struct spawned_prog {
  pid_t pid = -1;
  int out = -1;   // read ends of its standard output and error
  int err = -1;
};

// Starts the program with `args`; env entries are added to (or override) the test's own
// environment. pid -1 when it could not be started.
// With tty, standard output is a pseudo-terminal in raw mode (no line-feed translation).
inline spawned_prog spawn_prog(const std::vector<std::string>& args, const std::vector<std::string>& env,
                               bool tty = false) {
  spawned_prog p;
  int out[2], err[2];
  if (tty) {
    out[0] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (out[0] < 0) return p;
    const char* sn = grantpt(out[0]) == 0 && unlockpt(out[0]) == 0 ? ptsname(out[0]) : nullptr;
    out[1] = sn != nullptr ? open(sn, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    termios t{};
    if (out[1] < 0 || tcgetattr(out[1], &t) != 0) {
      close(out[0]);
      if (out[1] >= 0) close(out[1]);
      return p;
    }
    cfmakeraw(&t);
    tcsetattr(out[1], TCSANOW, &t);
  } else if (pipe2(out, O_CLOEXEC) != 0) {
    return p;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    return p;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  std::vector<std::string> all_args = {KESTREL_BIN};
  all_args.insert(all_args.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all_args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> envs;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string s = *e;
    bool overridden = false;
    for (auto& o : env) overridden |= s.substr(0, s.find('=') + 1) == o.substr(0, o.find('=') + 1);
    if (!overridden) envs.push_back(s);
  }
  envs.insert(envs.end(), env.begin(), env.end());
  std::vector<char*> envp;
  for (auto& e : envs) envp.push_back(e.data());
  envp.push_back(nullptr);
  const int rc = posix_spawn(&p.pid, KESTREL_BIN, &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    close(out[0]);
    close(err[0]);
    p.pid = -1;
    return p;
  }
  p.out = out[0];
  p.err = err[0];
  return p;
}

inline prog_out run_prog(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                         int timeout_ms = 20000, bool tty = false) {
  prog_out r;
  const spawned_prog sp = spawn_prog(args, env, tty);
  if (sp.pid < 0) return r;
  const pid_t pid = sp.pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{sp.out, POLLIN, 0}, {sp.err, POLLIN, 0}};
  int open_fds = 2;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int st = 0;
  waitpid(pid, &st, 0);
  if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  return r;
}

// A program left running while the test reads its standard output as it comes; killed and
// reaped with the object.
class live_prog {
 public:
  live_prog(const std::vector<std::string>& args, const std::vector<std::string>& env)
      : p_(spawn_prog(args, env)) {}
  ~live_prog() {
    if (p_.pid > 0 && !reaped_) {
      kill(p_.pid, SIGKILL);
      int st = 0;
      waitpid(p_.pid, &st, 0);
    }
    if (p_.out >= 0) close(p_.out);
    if (p_.err >= 0) close(p_.err);
  }
  live_prog(const live_prog&) = delete;
  live_prog& operator=(const live_prog&) = delete;

  bool started() const { return p_.pid > 0; }
  pid_t pid() const { return p_.pid; }
  // Everything it wrote on standard error, once it has ended.
  std::string err_all() {
    std::string e;
    char b[4096];
    ssize_t n;
    while (p_.err >= 0 && (n = read(p_.err, b, sizeof b)) > 0) e.append(b, static_cast<size_t>(n));
    return e;
  }
  // The next line of standard output, line feed included; what came before the end of the
  // output or the time limit when no whole line did.
  std::string line(int timeout_ms = 20000) {
    for (;;) {
      const size_t lf = buf_.find('\n');
      if (lf != std::string::npos) {
        std::string l = buf_.substr(0, lf + 1);
        buf_.erase(0, lf + 1);
        return l;
      }
      pollfd fd = {p_.out, POLLIN, 0};
      if (poll(&fd, 1, timeout_ms) <= 0) break;
      char b[4096];
      const ssize_t n = read(p_.out, b, sizeof b);
      if (n <= 0) break;
      buf_.append(b, static_cast<size_t>(n));
    }
    std::string l;
    l.swap(buf_);
    return l;
  }
  // The reader of its standard output goes away.
  void close_out() {
    if (p_.out >= 0) close(p_.out);
    p_.out = -1;
  }
  // Waits for the end: the exit status, or 128 + the signal that ended it, as a shell says.
  int wait_end() {
    int st = 0;
    if (p_.pid <= 0 || reaped_ || waitpid(p_.pid, &st, 0) != p_.pid) return -1;
    reaped_ = true;
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  }
  // Still running: it has neither ended nor been reaped.
  bool running() {
    int st = 0;
    if (p_.pid <= 0 || reaped_) return false;
    if (waitpid(p_.pid, &st, WNOHANG) == 0) return true;
    reaped_ = true;
    return false;
  }

 private:
  spawned_prog p_;
  bool reaped_ = false;
  std::string buf_;
};

}  // namespace tu
