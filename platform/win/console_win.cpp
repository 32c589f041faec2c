// The console of a Windows console program: its bytes as the program writes them, or converted
// from code page 932 to the set KESTREL_CHARSET names, with the system's tables.
#include "platform/console.h"

#include <windows.h>
#include <shellapi.h>
#include <fcntl.h>
#include <io.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr UINT CP_SJIS = 932;

constexpr bool sjis_lead(unsigned char b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }

// The code page a character set name stands for; 0 when it names none this system has.
UINT cp_of(const char* set) {
  std::string n;
  for (const char* p = set; *p != '\0'; ++p) n += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
  UINT cp = 0;
  auto num = [&](const char* prefix) {
    const size_t k = std::strlen(prefix);
    if (n.compare(0, k, prefix) != 0 || n.size() == k || n.size() > k + 5) return false;
    UINT v = 0;
    for (size_t i = k; i < n.size(); ++i) {
      if (n[i] < '0' || n[i] > '9') return false;
      v = v * 10 + static_cast<UINT>(n[i] - '0');
    }
    cp = v;
    return true;
  };
  if (n == "UTF-8" || n == "UTF8") {
    cp = CP_UTF8;
  } else if (n == "SHIFT_JIS" || n == "SHIFT-JIS" || n == "SJIS" || n == "MS932" || n == "WINDOWS-31J") {
    cp = CP_SJIS;
  } else if (n == "EUC-JP" || n == "EUCJP") {
    cp = 20932;
  } else if (n == "US-ASCII" || n == "ASCII") {
    cp = 20127;
  } else if (num("ISO-8859-") || num("ISO8859-")) {
    cp = cp >= 1 && cp <= 16 ? 28590 + cp : 0;
  } else if (!(num("CP") || num("WINDOWS-") || num("IBM") || num(""))) {
    return 0;
  }
  // Only sets of bytes: UTF-16 and UTF-32 (1200, 1201, 12000, 12001) cannot be written that way.
  if (cp == 1200 || cp == 1201 || cp == 12000 || cp == 12001) return 0;
  return cp != 0 && IsValidCodePage(cp) ? cp : 0;
}

// Standard output goes into a pipe; this thread converts what comes out of it and writes it
// where standard output went before.
struct con_cvt {
  UINT cp;
  HANDLE rd;      // the pipe's read end
  HANDLE out;     // the original standard output
  HANDLE thr;
  std::string pnd;  // a lead byte whose trail byte comes with the next read
};
con_cvt* con_act = nullptr;

// The code page of the set KESTREL_CHARSET names when it is not 932, as con_ini accepted it.
UINT con_usr = 0;

// One CP932 character (1 or 2 bytes) to the target set, appended to `out`; '?' for what either
// side lacks.
void chr_cvt(UINT cp, const char* s, int n, std::string& out) {
  wchar_t w[2];
  const int wn = MultiByteToWideChar(CP_SJIS, MB_ERR_INVALID_CHARS, s, n, w, 2);
  if (wn <= 0) {
    out += '?';
    return;
  }
  char b[16];
  BOOL dfl = FALSE;
  const bool utf8 = cp == CP_UTF8;
  const int bn = WideCharToMultiByte(cp, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, w, wn, b, sizeof b, nullptr,
                                     utf8 ? nullptr : &dfl);
  if (bn <= 0 || dfl) {
    out += '?';
    return;
  }
  out.append(b, static_cast<size_t>(bn));
}

bool wr_all(HANDLE h, const std::string& s) {
  size_t done = 0;
  while (done < s.size()) {
    DWORD w = 0;
    if (!WriteFile(h, s.data() + done, static_cast<DWORD>(s.size() - done), &w, nullptr) || w == 0) return false;
    done += w;
  }
  return true;
}

DWORD WINAPI con_thr(LPVOID arg) {
  auto& c = *static_cast<con_cvt*>(arg);
  char buf[4096];
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(c.rd, buf, sizeof buf, &n, nullptr) || n == 0) break;  // every writer is gone
    c.pnd.append(buf, n);
    std::string out;
    size_t i = 0;
    while (i < c.pnd.size()) {
      const auto b = static_cast<unsigned char>(c.pnd[i]);
      const size_t k = sjis_lead(b) ? 2 : 1;
      if (i + k > c.pnd.size()) break;  // the trail byte is still to come
      chr_cvt(c.cp, c.pnd.data() + i, static_cast<int>(k), out);
      i += k;
    }
    c.pnd.erase(0, i);
    // A reader that went away: the rest is read and dropped, so writers never block.
    wr_all(c.out, out);
  }
  // A lone lead byte at the very end has no character: it shows as '?'.
  if (!c.pnd.empty()) wr_all(c.out, "?");
  return 0;
}

// At exit: standard output is closed, so the thread sees the end once every writer is gone
// and has written the rest. A command left running in the background may hold the pipe open
// for good; the wait is bounded for that.
void con_end() {
  con_cvt* c = con_act;
  if (c == nullptr) return;
  con_act = nullptr;
  std::fflush(stdout);
  _close(_fileno(stdout));
  SetStdHandle(STD_OUTPUT_HANDLE, c->out);
  WaitForSingleObject(c->thr, 5000);
}

int con_fail(const char* set, const char* what) {
  std::fprintf(stderr, "kestrel: KESTREL_CHARSET: %s \"%s\"\n", what, set);
  return 2;
}

}  // namespace

int con_ini() {
  // The program writes "\n" and means one byte: the runtime's text mode would make it "\r\n"
  // on a file or a pipe, and a reader would see other bytes than the program wrote. The same
  // holds for the files the library writes (its logs, the profiler's report).
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  _fmode = _O_BINARY;

  const char* set = std::getenv("KESTREL_CHARSET");
  if (set == nullptr || *set == '\0') return 0;
  const UINT cp = cp_of(set);
  if (cp == 0) return con_fail(set, "unknown character set");
  if (cp == CP_SJIS) return 0;
  con_usr = cp;

  // Standard output into a pipe whose other end the converter reads. Commands started later
  // inherit the pipe as their standard output, so their lines stay in order with the
  // program's (and are converted alike: the console code page they write is 932 where this
  // program is at home).
  SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
  HANDLE rd = nullptr, wr = nullptr;
  if (!CreatePipe(&rd, &wr, &sa, 0)) return con_fail(set, "cannot set up the conversion to");
  SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
  // Its own handle on the original output: moving standard output closes the runtime's.
  HANDLE out = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))),
                       GetCurrentProcess(), &out, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    CloseHandle(rd);
    CloseHandle(wr);
    return con_fail(set, "cannot set up the conversion to");
  }
  auto* c = new con_cvt{cp, rd, out, nullptr, {}};
  std::fflush(stdout);
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(wr), _O_WRONLY | _O_BINARY);
  if (fd < 0 || _dup2(fd, _fileno(stdout)) != 0) {
    if (fd >= 0) _close(fd); else CloseHandle(wr);
    CloseHandle(rd);
    CloseHandle(out);
    delete c;
    return con_fail(set, "cannot set up the conversion to");
  }
  _close(fd);
  SetStdHandle(STD_OUTPUT_HANDLE, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout))));
  c->thr = CreateThread(nullptr, 0, con_thr, c, 0, nullptr);
  if (c->thr == nullptr) {
    // Nobody would read the pipe: put standard output back.
    const int o = _open_osfhandle(reinterpret_cast<intptr_t>(c->out), _O_WRONLY | _O_BINARY);
    if (o >= 0) _dup2(o, _fileno(stdout));
    SetStdHandle(STD_OUTPUT_HANDLE, c->out);
    CloseHandle(rd);
    delete c;
    return con_fail(set, "cannot set up the conversion to");
  }
  con_act = c;
  std::atexit(con_end);
  return 0;
}

std::string con_arg(int argc, char** argv, int i) {
  if (con_usr == 0) return argv[i];
  // The runtime split the same line by the same rules; should the counts differ, the bytes in
  // the system's code page are what there is. Split once for every argument.
  static const std::vector<std::wstring> args = [] {
    std::vector<std::wstring> v;
    int n = 0;
    if (wchar_t** wv = CommandLineToArgvW(GetCommandLineW(), &n); wv != nullptr) {
      v.assign(wv, wv + n);
      LocalFree(wv);
    }
    return v;
  }();
  const bool whole = args.size() == static_cast<size_t>(argc);
  std::wstring w;
  if (whole) w = args[static_cast<size_t>(i)];
  if (!whole) {
    const int k = MultiByteToWideChar(CP_ACP, 0, argv[i], -1, nullptr, 0);
    if (k <= 0) return argv[i];
    w.assign(static_cast<size_t>(k), L'\0');
    MultiByteToWideChar(CP_ACP, 0, argv[i], -1, w.data(), k);
    w.resize(static_cast<size_t>(k - 1));
  }
  if (w.empty()) return {};
  const int m = WideCharToMultiByte(CP_SJIS, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, "?", nullptr);
  if (m <= 0) return argv[i];
  std::string out(static_cast<size_t>(m), '\0');
  WideCharToMultiByte(CP_SJIS, 0, w.data(), static_cast<int>(w.size()), out.data(), m, "?", nullptr);
  return out;
}

bool con_usr_set() { return con_usr != 0; }
