// Windows process and pipe calls on POSIX: posix_spawn for CreateProcessA, pidfd + poll for
// timed waits, waitpid for every child so none is left as a zombie.
#include "platform/process.h"

#include "platform/console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_set>

extern char** environ;

namespace {

thread_local DWORD last_err = ERROR_SUCCESS;

BOOL fail(DWORD e) {
  last_err = e;
  return FALSE;
}

DWORD err_from_errno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case ETXTBSY:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return ERROR_BAD_FORMAT;
    case ENOMEM:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
      return ERROR_NOT_ENOUGH_MEMORY;
    case EBADF:
      return ERROR_INVALID_HANDLE;
    case EPIPE:
      return ERROR_NO_DATA;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// Children started and not yet reaped, each the leader of a process group of its own: what a
// request to end the program ends (prc_kill_all, from a signal handler).
constexpr int RUN_MAX = 16;
volatile sig_atomic_t running[RUN_MAX];

void run_add(pid_t pid) {
  for (auto& r : running)
    if (r == 0) {
      r = pid;
      return;
    }
}

void run_del(pid_t pid) {
  for (auto& r : running)
    if (r == pid) r = 0;
}

// The signals that end the program: held back while a child is started and listed, so that none
// can find it started but not yet listed.
sigset_t end_sigs() {
  sigset_t s;
  sigemptyset(&s);
  sigaddset(&s, SIGTERM);
  sigaddset(&s, SIGINT);
  sigaddset(&s, SIGHUP);
  return s;
}

// One started child, shared by its process and thread handles.
struct child {
  pid_t pid = -1;
  int pidfd = -1;          // -1 where pidfd_open is missing: timed waits then poll waitpid
  bool ended = false;      // reaped; code holds the exit code
  DWORD code = STILL_ACTIVE;
  bool killed = false;     // TerminateProcess sent SIGKILL
  DWORD kill_code = 0;
  int refs = 0;
};

enum class hnd_knd : uint8_t { pipe_rd, pipe_wr, std_in, std_out, prc, thd };

struct hnd_obj {
  hnd_knd knd;
  int fd;                  // pipe end or standard stream
  child* chd;              // process and thread handles
};

hnd_obj std_objs[3] = {{hnd_knd::std_in, STDIN_FILENO, nullptr},
                       {hnd_knd::std_out, STDOUT_FILENO, nullptr},
                       {hnd_knd::std_out, STDERR_FILENO, nullptr}};

std::unordered_set<hnd_obj*>& live() {
  static std::unordered_set<hnd_obj*> set;
  return set;
}

bool is_std(const hnd_obj* h) { return h == &std_objs[0] || h == &std_objs[1] || h == &std_objs[2]; }

hnd_obj* lookup(HANDLE h) {
  auto* o = static_cast<hnd_obj*>(h);
  if (is_std(o)) return o;
  if (h == nullptr || live().count(o) == 0) return nullptr;
  return o;
}

hnd_obj* new_hnd(hnd_knd knd, int fd, child* chd) {
  auto* o = new (std::nothrow) hnd_obj{knd, fd, chd};
  if (o == nullptr) return nullptr;
  try {
    live().insert(o);
  } catch (...) {
    delete o;
    return nullptr;
  }
  return o;
}

void drop_hnd(hnd_obj* o) {
  live().erase(o);
  delete o;
}

DWORD status_code(const child& c, int st) {
  if (WIFEXITED(st)) return static_cast<DWORD>(WEXITSTATUS(st));
  if (WIFSIGNALED(st)) {
    if (c.killed && WTERMSIG(st) == SIGKILL) return c.kill_code;
    return 128 + static_cast<DWORD>(WTERMSIG(st));
  }
  return 0;
}

void mark_ended(child& c, DWORD code) {
  run_del(c.pid);
  c.ended = true;
  c.code = code;
  if (c.pidfd >= 0) close(c.pidfd);
  c.pidfd = -1;
}

// Reaps the child if it has ended (waiting for that when block); true once it has.
bool reap(child& c, bool block) {
  if (c.ended) return true;
  for (;;) {
    int st = 0;
    const pid_t r = waitpid(c.pid, &st, block ? 0 : WNOHANG);
    if (r == c.pid) {
      mark_ended(c, status_code(c, st));
      return true;
    }
    if (r == 0) return false;
    if (errno == EINTR) continue;
    // ECHILD: reaped behind our back (SIGCHLD ignored by the caller); the code is lost.
    mark_ended(c, 0);
    return true;
  }
}

// Children whose handles were all closed while they ran. A detached waiter thread reaps each;
// when no thread can be started the pid waits here for the next call into this layer.
std::vector<pid_t>& orphans() {
  static std::vector<pid_t> v;
  return v;
}

void reap_orphans() {
  auto& v = orphans();
  v.erase(std::remove_if(v.begin(), v.end(),
                         [](pid_t pid) {
                           int st = 0;
                           return waitpid(pid, &st, WNOHANG) != 0;
                         }),
          v.end());
}

void* orphan_waiter(void* arg) {
  const auto pid = static_cast<pid_t>(reinterpret_cast<intptr_t>(arg));
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return nullptr;
}

void adopt_orphan(pid_t pid) {
  // The waiter must not take signals meant for the program's own thread.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_attr_t at;
  bool started = false;
  if (pthread_attr_init(&at) == 0) {
    pthread_attr_setdetachstate(&at, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&at, 64 * 1024);
    pthread_t t;
    started = pthread_create(&t, &at, orphan_waiter,
                             reinterpret_cast<void*>(static_cast<intptr_t>(pid))) == 0;
    pthread_attr_destroy(&at);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!started) {
    try {
      orphans().push_back(pid);
    } catch (...) {
      // Out of memory as well: the child stays a zombie until the program ends.
    }
  }
}

void release_child(child* c) {
  if (--c->refs > 0) return;
  if (!reap(*c, false)) {
    run_del(c->pid);   // left to run: no longer a command of ours to end
    if (c->pidfd >= 0) close(c->pidfd);
    adopt_orphan(c->pid);
  }
  delete c;
}

// Through syscall: glibc 2.36's <sys/pidfd.h> lacks C linkage for C++. Always close-on-exec.
int pidfd_of(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

int64_t now_ns() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Descriptor a child gets for one standard slot; -1 with last_err set on a bad handle.
int std_source(HANDLE h, int* devnull) {
  if (h == nullptr || h == INVALID_HANDLE_VALUE) {
    if (*devnull < 0) *devnull = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (*devnull < 0) last_err = err_from_errno(errno);
    return *devnull;
  }
  hnd_obj* o = lookup(h);
  if (o == nullptr || o->knd == hnd_knd::prc || o->knd == hnd_knd::thd) {
    last_err = ERROR_INVALID_HANDLE;
    return -1;
  }
  // A standard stream closed since its handle was taken: the child starts all the same.
  if (is_std(o) && fcntl(o->fd, F_GETFD) == -1 && errno == EBADF) return std_source(nullptr, devnull);
  return o->fd;
}

}  // namespace

DWORD GetLastError() { return last_err; }

BOOL CreatePipe(HANDLE* hReadPipe, HANDLE* hWritePipe, LPSECURITY_ATTRIBUTES, DWORD nSize) {
  if (hReadPipe == nullptr || hWritePipe == nullptr) return fail(ERROR_INVALID_PARAMETER);
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return fail(err_from_errno(errno));
  if (nSize != 0) {
    // Only a suggestion: a refusal (above the system's limit) keeps the default size.
    (void)fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(std::min<DWORD>(nSize, INT_MAX)));
  }
  hnd_obj* r = new_hnd(hnd_knd::pipe_rd, fds[0], nullptr);
  hnd_obj* w = r != nullptr ? new_hnd(hnd_knd::pipe_wr, fds[1], nullptr) : nullptr;
  if (w == nullptr) {
    if (r != nullptr) drop_hnd(r);
    close(fds[0]);
    close(fds[1]);
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  *hReadPipe = r;
  *hWritePipe = w;
  return TRUE;
}

HANDLE GetStdHandle(DWORD nStdHandle) {
  hnd_obj* o = nullptr;
  switch (nStdHandle) {
    case STD_INPUT_HANDLE:
      o = &std_objs[0];
      break;
    case STD_OUTPUT_HANDLE:
      o = &std_objs[1];
      break;
    case STD_ERROR_HANDLE:
      o = &std_objs[2];
      break;
    default:
      last_err = ERROR_INVALID_PARAMETER;
      return INVALID_HANDLE_VALUE;
  }
  // As on Windows, a process without that standard handle gets NULL.
  if (fcntl(o->fd, F_GETFD) == -1 && errno == EBADF) return nullptr;
  return o;
}

namespace {

// Everything CreateProcessA acquires before the spawn, released on every path out.
struct spawn_res {
  posix_spawn_file_actions_t fa;
  posix_spawnattr_t at;
  bool fa_ok = false;
  bool at_ok = false;
  int tmp[3] = {-1, -1, -1};
  int devnull = -1;
  child* chd = nullptr;
  hnd_obj* ph = nullptr;
  hnd_obj* th = nullptr;

  ~spawn_res() {
    if (fa_ok) posix_spawn_file_actions_destroy(&fa);
    if (at_ok) posix_spawnattr_destroy(&at);
    for (int fd : tmp)
      if (fd >= 0) close(fd);
    if (devnull >= 0) close(devnull);
    if (ph != nullptr) drop_hnd(ph);
    if (th != nullptr) drop_hnd(th);
    delete chd;
  }
};

// Splits a Windows environment block into entries pointing into the block.
bool env_entries(const char* blk, std::vector<char*>* out) {
  try {
    for (const char* p = blk; *p != '\0'; p += std::strlen(p) + 1)
      out->push_back(const_cast<char*>(p));
    out->push_back(nullptr);
  } catch (...) {
    return false;
  }
  return true;
}

}  // namespace

BOOL CreateProcessA(LPCSTR lpApplicationName, LPSTR lpCommandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID lpEnvironment,
                    LPCSTR lpCurrentDirectory, LPSTARTUPINFOA lpStartupInfo,
                    LPPROCESS_INFORMATION lpProcessInformation) {
  if (lpProcessInformation == nullptr || lpStartupInfo == nullptr ||
      (lpApplicationName == nullptr && lpCommandLine == nullptr))
    return fail(ERROR_INVALID_PARAMETER);
  reap_orphans();

  std::vector<std::string> args;
  std::vector<char*> argv;
  std::vector<char*> envv;
  try {
    // Split while the line is code page 932 (a lead byte takes the next byte with it), then each
    // argument in the user's set: the conversion cannot move a quote or a blank.
    args = cmdline_split(lpCommandLine);
    for (auto& a : args) a = con_out(a);
    if (lpApplicationName != nullptr && args.empty()) args.emplace_back(lpApplicationName);
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
  } catch (...) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  const char* prog = lpApplicationName != nullptr ? lpApplicationName
                     : args.empty()               ? ""
                                                  : args[0].c_str();
  if (*prog == '\0') return fail(ERROR_FILE_NOT_FOUND);
  if (lpEnvironment != nullptr && !env_entries(static_cast<const char*>(lpEnvironment), &envv))
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  if (lpCurrentDirectory != nullptr) {
    struct stat sb{};
    if (stat(lpCurrentDirectory, &sb) != 0 || !S_ISDIR(sb.st_mode)) return fail(ERROR_DIRECTORY);
  }

  spawn_res res;
  res.chd = new (std::nothrow) child;
  if (res.chd == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);
  res.ph = new_hnd(hnd_knd::prc, -1, res.chd);
  res.th = res.ph != nullptr ? new_hnd(hnd_knd::thd, -1, res.chd) : nullptr;
  if (res.th == nullptr) return fail(ERROR_NOT_ENOUGH_MEMORY);

  if (posix_spawn_file_actions_init(&res.fa) != 0) return fail(ERROR_NOT_ENOUGH_MEMORY);
  res.fa_ok = true;
  if (posix_spawnattr_init(&res.at) != 0) return fail(ERROR_NOT_ENOUGH_MEMORY);
  res.at_ok = true;

  int rc = 0;
  if ((lpStartupInfo->dwFlags & STARTF_USESTDHANDLES) != 0) {
    const HANDLE hs[3] = {lpStartupInfo->hStdInput, lpStartupInfo->hStdOutput,
                          lpStartupInfo->hStdError};
    // Copies above 2 first, so that moving one into its slot cannot overwrite another's source.
    for (int i = 0; i < 3; ++i) {
      const int src = std_source(hs[i], &res.devnull);
      if (src < 0) return FALSE;
      res.tmp[i] = fcntl(src, F_DUPFD_CLOEXEC, 3);
      if (res.tmp[i] < 0) return fail(err_from_errno(errno));
    }
    for (int i = 0; i < 3 && rc == 0; ++i)
      rc = posix_spawn_file_actions_adddup2(&res.fa, res.tmp[i], i);
  }
  if (rc == 0) rc = posix_spawn_file_actions_addclosefrom_np(&res.fa, 3);
  if (rc == 0 && lpCurrentDirectory != nullptr)
    rc = posix_spawn_file_actions_addchdir_np(&res.fa, lpCurrentDirectory);
  if (rc != 0) return fail(err_from_errno(rc));

  // Signal handling starts afresh, as for any new Windows process.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&res.at, &none);
  posix_spawnattr_setsigdefault(&res.at, &all);
  // A process group of its own, so that ending it ends what it started too (the job object of
  // Windows).
  posix_spawnattr_setpgroup(&res.at, 0);
  posix_spawnattr_setflags(&res.at, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  char** envp = lpEnvironment != nullptr ? envv.data() : environ;
  pid_t pid = -1;
  const sigset_t ends = end_sigs();
  sigset_t old_mask;
  pthread_sigmask(SIG_BLOCK, &ends, &old_mask);
  // An application name is a path as it stands; a bare program name is looked up on PATH.
  rc = lpApplicationName != nullptr
           ? posix_spawn(&pid, prog, &res.fa, &res.at, argv.data(), envp)
           : posix_spawnp(&pid, prog, &res.fa, &res.at, argv.data(), envp);
  if (rc == 0) run_add(pid);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  if (rc != 0) return fail(err_from_errno(rc));

  child* c = res.chd;
  c->pid = pid;
  c->pidfd = pidfd_of(pid);
  c->refs = 2;
  lpProcessInformation->hProcess = res.ph;
  lpProcessInformation->hThread = res.th;
  lpProcessInformation->dwProcessId = static_cast<DWORD>(pid);
  lpProcessInformation->dwThreadId = static_cast<DWORD>(pid);
  res.chd = nullptr;
  res.ph = res.th = nullptr;
  last_err = ERROR_SUCCESS;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  hnd_obj* o = lookup(hHandle);
  if (o == nullptr || o->chd == nullptr) {
    last_err = ERROR_INVALID_HANDLE;
    return WAIT_FAILED;
  }
  child& c = *o->chd;
  if (dwMilliseconds == INFINITE) {
    reap(c, true);
    return WAIT_OBJECT_0;
  }
  const int64_t deadline = now_ns() + int64_t{dwMilliseconds} * 1000000;
  for (;;) {
    if (reap(c, false)) return WAIT_OBJECT_0;
    const int64_t left_ns = deadline - now_ns();
    if (left_ns <= 0) return WAIT_TIMEOUT;
    const int64_t left = (left_ns + 999999) / 1000000;  // whole milliseconds, never short
    if (c.pidfd >= 0) {
      // The pidfd turns readable when the child ends; the next round reaps it.
      pollfd p{c.pidfd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX))) < 0 && errno != EINTR) {
        last_err = err_from_errno(errno);
        return WAIT_FAILED;
      }
    } else {
      const timespec ts{0, static_cast<long>(std::min<int64_t>(left, 2)) * 1000000L};
      nanosleep(&ts, nullptr);
    }
  }
}

BOOL GetExitCodeProcess(HANDLE hProcess, LPDWORD lpExitCode) {
  hnd_obj* o = lookup(hProcess);
  if (o == nullptr || o->knd != hnd_knd::prc) return fail(ERROR_INVALID_HANDLE);
  if (lpExitCode == nullptr) return fail(ERROR_INVALID_PARAMETER);
  *lpExitCode = reap(*o->chd, false) ? o->chd->code : STILL_ACTIVE;
  return TRUE;
}

BOOL TerminateProcess(HANDLE hProcess, UINT uExitCode) {
  hnd_obj* o = lookup(hProcess);
  if (o == nullptr || o->knd != hnd_knd::prc) return fail(ERROR_INVALID_HANDLE);
  child& c = *o->chd;
  if (reap(c, false)) return fail(ERROR_ACCESS_DENIED);
  // Still our unreaped child, so the pid cannot have been reused.
  c.killed = true;
  c.kill_code = uExitCode;
  // With what it started: its process group (the child's own pid, still ours unreaped).
  if (kill(-c.pid, SIGKILL) != 0 && kill(c.pid, SIGKILL) != 0) return fail(err_from_errno(errno));
  reap(c, true);
  return TRUE;
}

void prc_kill_all() {
  for (const auto& r : running) {
    const pid_t pid = r;
    if (pid != 0) kill(-pid, SIGKILL);
  }
}

int prc_fnd(const char* cp932_name, std::string* path) {
  try {
    // The system's names are in the user's set.
    const std::string nm = con_out(cp932_name);
    const char* name = nm.c_str();
    if (std::strchr(name, '/') != nullptr) {
      *path = name;
      return 0;
    }
    std::string dirs;
    if (const char* p = std::getenv("PATH"); p != nullptr) {
      dirs = p;
    } else {
      // As execvp does without PATH: the system's default.
      dirs.resize(confstr(_CS_PATH, nullptr, 0));
      confstr(_CS_PATH, dirs.data(), dirs.size());
      dirs.resize(std::strlen(dirs.c_str()));
    }
    for (size_t b = 0;;) {
      const size_t e = std::min(dirs.find(':', b), dirs.size());
      // An empty entry is the current directory, as execvp reads PATH.
      std::string cand = e == b ? std::string(name) : dirs.substr(b, e - b) + "/" + name;
      struct stat sb{};
      if (stat(cand.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && access(cand.c_str(), X_OK) == 0) {
        *path = e == b ? "./" + cand : cand;
        return 0;
      }
      if (e == dirs.size()) break;
      b = e + 1;
    }
  } catch (...) {
  }
  return PRC_FND_NONE;
}

BOOL CloseHandle(HANDLE hObject) {
  reap_orphans();
  hnd_obj* o = lookup(hObject);
  if (o == nullptr) return fail(ERROR_INVALID_HANDLE);
  if (is_std(o)) return TRUE;
  if (o->chd != nullptr) {
    release_child(o->chd);
  } else {
    close(o->fd);  // Linux releases the descriptor even when close reports EINTR
  }
  drop_hnd(o);
  return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPVOID lpOverlapped) {
  hnd_obj* o = lookup(hFile);
  if (o == nullptr || (o->knd != hnd_knd::pipe_rd && o->knd != hnd_knd::std_in))
    return fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToRead != 0))
    return fail(ERROR_INVALID_PARAMETER);
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;
  ssize_t n;
  do {
    n = read(o->fd, lpBuffer, nNumberOfBytesToRead);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail(err_from_errno(errno));
  if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = static_cast<DWORD>(n);
  return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPVOID lpOverlapped) {
  hnd_obj* o = lookup(hFile);
  if (o == nullptr || (o->knd != hnd_knd::pipe_wr && o->knd != hnd_knd::std_out))
    return fail(ERROR_INVALID_HANDLE);
  if (lpOverlapped != nullptr || (lpBuffer == nullptr && nNumberOfBytesToWrite != 0))
    return fail(ERROR_INVALID_PARAMETER);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
  // A pipe whose reader is gone must fail the write, not kill the program with SIGPIPE:
  // block it, and swallow the one this write raised unless one was already pending.
  sigset_t pipe_set, old, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  const auto* p = static_cast<const char*>(lpBuffer);
  DWORD done = 0;
  int e = 0;
  while (done < nNumberOfBytesToWrite) {
    const ssize_t n = write(o->fd, p + done, nNumberOfBytesToWrite - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      e = errno;
      break;
    }
    done += static_cast<DWORD>(n);
  }
  if (e == EPIPE && !was_pending) {
    const timespec zero{0, 0};
    while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = done;
  if (e != 0) return fail(err_from_errno(e));
  return TRUE;
}
