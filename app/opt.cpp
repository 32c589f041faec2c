#include "app/opt.h"

#include <cstdio>
#include <cstring>

#include "base/base.h"

opt_rcd_t opt_rcd = {};

const opt_row opt_tbl[OPT_ROWS] = {
    {opt_knd::int_, "t", "タイムアウト時間", 4, "", OPT_OMIT, &opt_rcd.t},
    {opt_knd::int_, "c", "切断判定カウント", 3, "", OPT_OMIT, &opt_rcd.c},
    {opt_knd::flg, "fp", "標準出力を行う", 1, "", OPT_OMIT | OPT_DFLON, &opt_rcd.fp},
    {opt_knd::flg, "nfp", "標準出力を行わない", 0, "", OPT_OMIT, &opt_rcd.fp},
    {opt_knd::txt, "cmdon", "デバイス検出時コマンド", 0, "", OPT_OMIT, &opt_rcd.cmdon},
    {opt_knd::txt, "cmdoff", "デバイス切断時コマンド", 0, "", OPT_OMIT, &opt_rcd.cmdoff},
    {opt_knd::flg, "dbgcnt", "デバッグ 切断カウントを標準出力", 1, "", OPT_OMIT, &opt_rcd.dbgcnt},
    {opt_knd::flg, "dbgtim", "デバッグ 検出時刻を標準出力", 1, "", OPT_OMIT, &opt_rcd.dbgtim},
};

bool opt_is_hlp(const char* arg) {
  return std::strcmp(arg, "/?") == 0 || std::strcmp(arg, "/h") == 0 || std::strcmp(arg, "/H") == 0;
}

void opt_hlp_prt() {
  std::puts("ブルートゥースデバイスを監視します。");
  std::printf("kestrel ");
  for (const opt_row& r : opt_tbl) {
    const bool omit = r.flg & OPT_OMIT;
    if (omit) std::printf("[");
    std::printf(r.knd == opt_knd::flg ? "/%s" : "/%s=値", r.name);
    if (omit) std::printf("]");
    std::printf(" ");
  }
  std::puts("\n");
  for (const opt_row& r : opt_tbl) {
    std::printf("\t/%s\t:%s\n", r.name, r.dsc);
    if (r.knd == opt_knd::flg && (r.flg & OPT_DFLON))
      std::printf("\t\tデフォルト：ON\n");
    else if (r.knd == opt_knd::int_)
      std::printf("\t\tデフォルト：%d\n", r.val);
    else if (r.knd == opt_knd::txt && r.txt[0] != '\0')
      std::printf("\t\tデフォルト：%s\n", r.txt);
    if (r.flg & OPT_OMIT) std::puts("\t\t省略可");
    std::putchar(' ');
  }
  std::puts(
      "\n[コマンド書式]\n"
      "デバイスの検出、切断時に実行するコマンドを指定できる。(cmdon,cmdoff)\n"
      "コマンド内に以下の文字列を埋め込むことで検出情報を利用できる\n"
      "@addr@\tbuluetoothデバイスのアドレス\n"
      "@name@\tbuluetoothデバイスの名称\n"
      "@onoff@\t接続時に\"ON\",切断時に\"OFF\"\n"
      "@time@\t現在時刻\"yyyy/mm/dd HH:MM:SS\"\n");
}

bool opt_is_usage(const char* arg) { return std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0; }

void opt_usage_prt() {
  std::fputs(
      "Usage: kestrel [/t=N] [/c=N] [/fp] [/nfp] [/cmdon=\"TEMPLATE\"] [/cmdoff=\"TEMPLATE\"] [/dbgcnt] [/dbgtim]\n"
      "       kestrel -h | --help | --version | /h\n"
      "\n"
      "Watches the Bluetooth devices around this machine: a line ADDRESS-NAME=ON when one\n"
      "appears, ADDRESS-NAME=OFF when it has been missed too many passes.\n"
      "\n"
      "Options (arguments that begin with \"/\"; the first one that does not ends them):\n"
      "  /t=N          inquiry time per pass, N x 1.28 s (low 8 bits count; 0 is 1)   4\n"
      "  /c=N          passes a device may be missed before it is OFF                3\n"
      "  /fp, /nfp     print state lines, or not                                     print\n"
      "  /cmdon=\"T\"    command run when a device turns ON\n"
      "  /cmdoff=\"T\"   command run when a device turns OFF\n"
      "  /dbgcnt       print a device's missed-pass count when it is set or goes down\n"
      "  /dbgtim       print the time of each change\n"
      "  /h, /?, /H    the help screen (in Japanese)\n"
      "\n"
      "Notation: options in one argument are separated by \";\". An option is a name, or\n"
      "name=value; a value is a word of letters, digits and _, or a text in double quotes\n"
      "(\\\" a quote, \\\\ a backslash). Outside double quotes other characters are dropped:\n"
      "quote every command template, and in a shell put the option in single quotes:\n"
      "  kestrel '/cmdon=\"notify-send -- kestrel \\\"@name@\\\"\"'\n"
      "@addr@, @name@, @onoff@ and @time@ in a template are filled in; the command starts\n"
      "without a shell, and no value can add or split its arguments.\n"
      "\n"
      "Environment:\n"
      "  KESTREL_CHARSET      character set of the console, the options and the commands\n"
      "                       (for example UTF-8); unset: code page 932, or on a terminal\n"
      "                       the locale's set for what is printed\n"
      "  KESTREL_CMD_TIMEOUT  seconds an event command may run before it is ended\n"
      "  KESTREL_TABLE_MAX    devices the table holds (4096)\n"
      "  KESTREL_BT_SIM       a scenario file to watch instead of the Bluetooth stack\n"
      "  KESTREL_BT_PAGE      Linux: \"paired\" and/or addresses to page after each inquiry\n"
      "  KESTREL_BT_REST      Linux: seconds the radio rests before each search\n"
      "  KESTREL_MQTT         Linux: mqtt[s]://[user[:password]@]host[:port][/prefix], to\n"
      "                       publish every change for Home Assistant\n"
      "  KESTREL_MQTT_DISCOVERY  paired (default), all or none: who gets a discovery record\n"
      "  BAS_TMR_PATH, BAS_MEMLOG_PATH, BAS_MEMLLOG_PATH, BAS_CVR_PATH  diagnostics files\n"
      "\n"
      "Exit status: 0 help; 1 or 255 an option that cannot be read; 2 a bad environment\n"
      "variable or scenario; 128+N ended by signal N.\n"
      "\n"
      "Everything else: README.md at the top of kestrel's source tree.\n",
      stdout);
}

namespace {

// The notation's tokens, as far as telling what is wrong with an argument needs them.
enum class opt_tok : uint8_t { end, word, quote_open, esc, hash, slash, eq, open, close, semi, lf };

struct opt_lex {
  const char* p;
  std::string txt;  // the token's own text, for the message

  static constexpr bool wrd(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  }

  // Past the character at q: a lead byte takes the byte after it.
  static const char* chr_end(const char* q) {
    return sjis_lead(static_cast<unsigned char>(*q)) && q[1] != '\0' ? q + 2 : q + (*q != '\0');
  }

  opt_tok next() {
    for (;;) {
      const char c = *p;
      txt.assign(1, c);
      if (c == '\0') return opt_tok::end;
      if (wrd(c)) {
        const char* b = p;
        while (wrd(*p)) ++p;
        txt.assign(b, p);
        return opt_tok::word;
      }
      ++p;
      switch (c) {
        case '#': return opt_tok::hash;
        case '/': return opt_tok::slash;
        case '=': return opt_tok::eq;
        case '[': return opt_tok::open;
        case ']': return opt_tok::close;
        case ';': return opt_tok::semi;
        case '\n': return opt_tok::lf;
        case '\\':
          // A backslash before the end or a line feed escapes nothing and is dropped, and so
          // does one before a lead byte that ends the text (the decoder drops that byte).
          if (*p == '\0' || *p == '\n') continue;
          if (sjis_lead(static_cast<unsigned char>(*p)) && p[1] == '\0') {
            ++p;
            continue;
          }
          txt.assign(p - 1, chr_end(p));
          p = chr_end(p);
          return std::strchr("nt\"\\/", txt[1]) != nullptr ? opt_tok::word : opt_tok::esc;
        case '"': {
          // A text in double quotes is a word; one with no closing quote is a quote alone.
          const char* q = p;
          while (*q != '\0' && *q != '"') q = chr_end(*q == '\\' && q[1] != '\0' && q[1] != '\n' ? q + 1 : q);
          if (*q == '\0') return opt_tok::quote_open;
          txt = "a text in double quotes";
          p = q + 1;
          return opt_tok::word;
        }
        default:
          // Dropped: blanks and every other character (a lead byte takes its trail byte).
          p = chr_end(p - 1);
          continue;
      }
    }
  }
};

std::string mark(const opt_lex& lx) { return lx.txt == "a text in double quotes" ? lx.txt : "\"" + lx.txt + "\""; }

}  // namespace

int opt_why(const char* txt, std::string* why) {
  auto say = [&](int st, const std::string& w) {
    *why = w;
    return st;
  };
  try {
    opt_lex lx{txt, {}};
    opt_tok t = lx.next();
    for (;;) {
      switch (t) {
        case opt_tok::end: return 0;
        case opt_tok::hash:
        case opt_tok::open:
        case opt_tok::lf: t = lx.next(); continue;
        case opt_tok::close: return say(ERR_FAIL, "\"]\" closes no group (options have none)");
        case opt_tok::quote_open: return say(ERR_END, "a text in double quotes has no closing quote");
        case opt_tok::word: break;
        default: return say(ERR_END, "an option begins with its name, not " + mark(lx));
      }
      const std::string key = lx.txt;
      t = lx.next();
      if (t != opt_tok::eq) {
        // A name alone takes whatever follows it with it.
        if (t != opt_tok::end && t != opt_tok::close) t = lx.next();
        continue;
      }
      t = lx.next();
      if (t == opt_tok::end) return say(ERR_END, "nothing after \"" + key + "=\"");
      if (t == opt_tok::quote_open) return say(ERR_END, "a text in double quotes has no closing quote");
      if (t != opt_tok::word)
        return say(ERR_END, "the value of \"" + key + "\" must be a word or a text in double quotes, not " + mark(lx));
      t = lx.next();
      if (t == opt_tok::close) return say(ERR_FAIL, "\"]\" closes no group (options have none)");
      if (t != opt_tok::end && t != opt_tok::semi && t != opt_tok::lf && t != opt_tok::open)
        return say(ERR_FAIL, mark(lx) + " follows the value of \"" + key +
                                 "\": options are separated by \";\", and a value with other characters goes in double quotes");
      if (t == opt_tok::semi || t == opt_tok::lf) t = lx.next();
    }
  } catch (...) {
    return ERR_FAIL;
  }
}
