#include "app/prc.h"

#include <cstring>

#include "base/diag/err.h"

namespace {

constexpr DWORD PRC_SHORT_WAIT = 100;  // ms a child gets to finish when the caller will not wait

void close_pipes(prc* p) {
  for (int i = 0; CVR(i < 3); ++i) {
    if (CVR((p->flg >> i) & 1)) {
      if (CVR(p->par[i] != nullptr)) CloseHandle(p->par[i]);
      if (CVR(p->chd[i] != nullptr)) CloseHandle(p->chd[i]);
    }
    p->par[i] = p->chd[i] = nullptr;
  }
}

// The exit code after TerminateProcess(h, 0): the child's own when it had ended first.
DWORD code_after_stop(HANDLE h) {
  DWORD code = 0;
  if (CVR(!GetExitCodeProcess(h, &code) || code == STILL_ACTIVE)) code = 0;
  return code;
}

}  // namespace

int _prc_set(prc* p, const char* s1, const char* s2, uint32_t flg) {
  STARTUPINFOA si;
  std::memset(&si, 0, sizeof si);
  std::memset(p, 0, sizeof *p);
  p->flg = flg;

  SECURITY_ATTRIBUTES sa;
  std::memset(&sa, 0, sizeof sa);
  sa.nLength = sizeof sa;
  sa.lpSecurityDescriptor = nullptr;
  sa.bInheritHandle = TRUE;

  static constexpr DWORD std_ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  for (int i = 0; CVR(i < 3); ++i) {
    if (CVR((flg >> i) & 1)) {
      HANDLE rd = nullptr, wr = nullptr;
      // Suggested size 1: the smallest buffer the system will give.
      if (CVR(!CreatePipe(&rd, &wr, &sa, 1))) {
        close_pipes(p);
        return err_fail();
      }
      // The child reads its input and writes its output and error.
      if (CVR(i == 0)) {
        p->chd[i] = rd;
        p->par[i] = wr;
      } else {
        p->chd[i] = wr;
        p->par[i] = rd;
      }
    } else {
      p->chd[i] = GetStdHandle(std_ids[i]);
    }
  }

  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
  si.wShowWindow = SW_HIDE;
  si.hStdInput = p->chd[0];
  si.hStdOutput = p->chd[1];
  si.hStdError = p->chd[2];

  const char* name = nullptr;
  const char* line = s1;
  if (CVR(s2 != nullptr)) {
    name = s1;
    line = s2;
  }
  // CreateProcessA leaves the command line untouched.
  if (CVR(!CreateProcessA(name, const_cast<char*>(line), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                          &p->pi))) {
    // Nobody calls _prc_end after a failure: give the pipes back here.
    close_pipes(p);
    std::memset(&p->pi, 0, sizeof p->pi);
    return err_fail();
  }
  return 0;
}

int _prc_end(prc* p, int wait) {
  HANDLE h = p->pi.hProcess;
  DWORD code = 0;
  if (CVR(!GetExitCodeProcess(h, &code))) code = 0;
  if (CVR(code == STILL_ACTIVE)) {
    DWORD ms = PRC_SHORT_WAIT;
    if (CVR(wait != 0)) ms = INFINITE;
    const DWORD w = WaitForSingleObject(h, ms);
    if (CVR(w == WAIT_OBJECT_0 || w == WAIT_TIMEOUT)) {
      // Terminating a child that has just ended changes nothing and keeps its own code.
      TerminateProcess(h, 0);
      code = code_after_stop(h);
    } else {
      if (CVR(!GetExitCodeProcess(h, &code))) code = 0;
      if (CVR(code == STILL_ACTIVE)) {
        TerminateProcess(h, 0);
        code = 0;
      }
    }
  }
  close_pipes(p);
  if (CVR(p->pi.hThread != nullptr)) CloseHandle(p->pi.hThread);
  if (CVR(h != nullptr)) CloseHandle(h);
  std::memset(&p->pi, 0, sizeof p->pi);
  return static_cast<int>(code);
}
