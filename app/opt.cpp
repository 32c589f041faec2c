#include "app/opt.h"

#include <cstdio>
#include <cstring>

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
