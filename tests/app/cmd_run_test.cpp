#include "app/cmd_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <map>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "base/base.h"
#include "test_util.h"

namespace {

size_t blocks() {
  size_t n = 0;
  rscmng_walk(nullptr, [](const rscmng_rcd*, void* a) { return ++*static_cast<size_t*>(a), 0; }, &n);
  return n;
}

class CmdRun : public testing::Test {
 protected:
  tu::tmp_dir dir;
  std::string out = dir.file("argv.txt");
  size_t blk = blocks();
  int fds = tu::open_fds();

  void TearDown() override {
    EXPECT_EQ(blocks(), blk) << "nothing of the call stays registered";
    EXPECT_EQ(tu::open_fds(), fds);
    EXPECT_TRUE(tu::no_children());
  }
  std::string dump(const std::string& args) { return std::string(ARGV_DUMP) + " " + out + " " + args; }
};

TEST_F(CmdRun, FillsThePlaceholdersAndWaitsForTheCommand) {
  ASSERT_EQ(cmd_run("554433221100", "my phone", "ON", dump("@addr@ \"@name@\" @onoff@ \"@time@\" @@ x@@y").c_str()), 0);
  const std::string got = tu::slurp(out);  // written before cmd_run returned
  std::smatch m;
  ASSERT_TRUE(std::regex_match(got, m, std::regex("554433221100\nmy phone\nON\n(\\d{4})/(\\d{1,2})/(\\d{1,2}) "
                                                  "(\\d\\d):(\\d\\d):(\\d\\d)\n@\nx@y\n--\n")))
      << got;
  EXPECT_NE(m[2].str()[0], '0') << "month without a leading zero";
  EXPECT_NE(m[3].str()[0], '0') << "day without a leading zero";
}

TEST_F(CmdRun, TemplateWithoutPlaceholdersRunsUnchanged) {
  ASSERT_EQ(cmd_run("A", "B", "OFF", dump("plain 'words' here").c_str()), 0);
  EXPECT_EQ(tu::slurp(out), "plain\n'words'\nhere\n--\n");
}

TEST_F(CmdRun, UnquotedNameSplitsAndNothingReachesAShell) {
  const std::string p = dir.path().string();
  const std::string name = "a b;touch " + p + "/x1 $(touch " + p + "/x2)`touch " + p + "/x3`";
  ASSERT_EQ(cmd_run("1", name.c_str(), "ON", dump("@name@").c_str()), 0);
  EXPECT_EQ(tu::slurp(out), "a\nb;touch\n" + p + "/x1\n$(touch\n" + p + "/x2)`touch\n" + p + "/x3`\n--\n");
  for (const char* f : {"x1", "x2", "x3"}) EXPECT_FALSE(tu::exists(dir.file(f)));
}

TEST_F(CmdRun, NamesFromTheExtensionRowsReachTheCommand) {
  // ⅰ (FA 40) holds "@" as its trail byte; 髙 (FB FC) and 﨑 (FA B1) lead with F-bytes.
  const std::string name = "\xFA\x40\xFB\xFC\xFA\xB1";
  ASSERT_EQ(cmd_run("1", name.c_str(), "ON", dump("\"@name@\" \xFA\x40").c_str()), 0);
  EXPECT_EQ(tu::slurp(out), name + "\n\xFA\x40\n--\n");
}

// Names that would add, join or cut arguments if they were inserted as they are.
const std::vector<std::string> hostile_names = {
    "phone\" \"--injected", "ends in a backslash\\", "two\\\\", "a\\\"b", "\"", "\"\"", "", " ",
    "\\\"--x", "tab\there", "\x83\x5C",  // ソ: its trail byte is 0x5C
    "\x83\x5C\"", "q\\ \\\\\"\\", "@", "@@",
};

TEST_F(CmdRun, AQuotedPlaceholderIsAlwaysExactlyItsValue) {
  struct form {
    const char* tpl;     // the template after the dump helper's own arguments
    std::string before;  // the argument around the value
    std::string after;
  };
  const std::vector<form> forms = {
      {"\"@name@\" @addr@", "", ""},
      {"\"<@name@>\" @addr@", "<", ">"},
      {"--name=\"@name@\" @addr@", "--name=", ""},
      {"\"@name@\\\"q\" @addr@", "", "\"q"},        // the template's own escaped quote follows
      {"\"x\\@name@\" @addr@", "x\\", ""},           // the template's backslash before it
      {"\"@name@@onoff@\" @addr@", "", "ON"},
  };
  std::vector<std::string> names = hostile_names;
  std::mt19937 rng(9);
  const char* pieces[] = {"a", " ", "\"", "\\", "\x83\x5C", "@", "\t"};
  for (int i = 0; i < 60; ++i) {
    std::string s;
    for (unsigned k = rng() % 9; k > 0; --k) s += pieces[rng() % std::size(pieces)];
    names.push_back(s);
  }
  for (const std::string& name : names) {
    for (const form& f : forms) {
      std::remove(out.c_str());
      ASSERT_EQ(cmd_run("0A0B0C0D0E0F", name.c_str(), "ON", dump(f.tpl).c_str()), 0) << name << " in " << f.tpl;
      EXPECT_EQ(tu::slurp(out), f.before + name + f.after + "\n0A0B0C0D0E0F\n--\n") << name << " in " << f.tpl;
    }
  }
}

// The arguments a filled template gives by the README's rules, worked out on the template's
// characters and the values' (never on a filled-in line): blanks separate outside double
// quotes; the template's quotes and backslashes follow the Windows C runtime ("" inside a
// group is a quote, 2n(+1) backslashes before a quote give n (and a quote)); every character of
// a value stands for itself, but a value's blank outside quotes separates; a value that starts
// an argument with "-" starts it with "?"; a value's 0xFE and 0xFF bytes are "?".
std::vector<std::string> rules(const std::string& tpl, const std::map<std::string, std::string>& vals) {
  struct ch {
    std::string c;   // one character: one byte, or a Shift-JIS lead byte with its trail
    bool val;
    bool mark;       // a value's boundary (a value may be empty)
  };
  auto chars = [](const std::string& t, bool val, std::vector<ch>& out) {
    for (size_t i = 0; i < t.size();) {
      const size_t n = sjis_lead(static_cast<unsigned char>(t[i])) && i + 1 < t.size() ? 2 : 1;
      std::string c = t.substr(i, n);
      if (val && (c == "\xFE" || c == "\xFF")) c = "?";
      out.push_back({c, val, false});
      i += n;
    }
  };
  std::vector<ch> in;
  for (size_t i = 0; i < tpl.size();) {
    if (tpl.compare(i, 2, "@@") == 0) {
      in.push_back({"@", false, false});
      i += 2;
    } else if (tpl[i] == '@') {
      const size_t e = tpl.find('@', i + 1);
      in.push_back({"", true, true});
      chars(vals.at(tpl.substr(i + 1, e - i - 1)), true, in);
      in.push_back({"", true, true});
      i = e + 1;
    } else {
      const size_t n = sjis_lead(static_cast<unsigned char>(tpl[i])) && i + 1 < tpl.size() ? 2 : 1;
      in.push_back({tpl.substr(i, n), false, false});
      i += n;
    }
  }
  std::vector<std::string> args;
  std::string arg;
  bool open = false, quoted = false;
  auto add = [&](const std::string& c, bool val) {
    arg += val && arg.empty() && c == "-" ? "?" : c;
    open = true;
  };
  for (size_t i = 0; i < in.size(); ++i) {
    const ch& c = in[i];
    if (c.mark) continue;
    if ((c.c == " " || c.c == "\t") && !quoted) {
      if (open) args.push_back(arg);
      arg.clear();
      open = false;
    } else if (c.val) {
      add(c.c, true);
    } else if (c.c == "\\") {
      size_t j = i;
      while (j < in.size() && !in[j].val && in[j].c == "\\") ++j;
      const size_t n = j - i;
      if (j < in.size() && !in[j].val && in[j].c == "\"") {
        for (size_t k = 0; k < n / 2; ++k) add("\\", false);
        if (n % 2 != 0) {
          add("\"", false);
          ++j;
        }
      } else {
        for (size_t k = 0; k < n; ++k) add("\\", false);
      }
      i = j - 1;
    } else if (c.c == "\"") {
      if (quoted && i + 1 < in.size() && !in[i + 1].val && in[i + 1].c == "\"") {
        add("\"", false);
        ++i;
      } else {
        quoted = !quoted;
        open = true;
      }
    } else {
      add(c.c, false);
    }
  }
  if (open) args.push_back(arg);
  return args;
}

TEST_F(CmdRun, FilledTemplatesSplitAsTheRulesSay) {
  // Random templates of quotes, backslashes, blanks, marker bytes, dashes and placeholders,
  // with names that are empty, start with "-", or hold quotes, backslashes and blanks.
  std::vector<std::string> names = hostile_names;
  for (const char* n : {"-f/etc/shadow", "--x", "-", "a\xFE" "b", "\xFF", " -x", "-\x83\x5C"}) names.push_back(n);
  const char* pieces[] = {"\"", "\"", "\\", " ", "x", "-", "@name@", "@name@", "@addr@", "\xFE", "\xFF",
                          "\x83\x5C", "\"\"", "@@"};
  std::mt19937 rng(20);
  for (int round = 0; round < 400; ++round) {
    std::string tpl;
    for (unsigned k = 1 + rng() % 8; k > 0; --k) tpl += pieces[rng() % std::size(pieces)];
    const std::string& name = names[rng() % names.size()];
    std::map<std::string, std::string> vals = {{"name", name}, {"addr", "0A0B0C0D0E0F"}, {"onoff", "ON"}};
    std::vector<std::string> want = rules(tpl, vals);
    std::remove(out.c_str());
    // After the dump program's own two arguments, closed off so that an open quote stays in the
    // random part: a lone closing quote and blank end it.
    ASSERT_EQ(cmd_run("0A0B0C0D0E0F", name.c_str(), "ON", dump(tpl).c_str()), 0) << tpl;
    std::string got_all = tu::slurp(out);
    std::string w;
    for (const std::string& a : want) w += a + "\n";
    EXPECT_EQ(got_all, w + "--\n") << "template [" << tpl << "] name [" << name << "]";
  }
}

TEST_F(CmdRun, AnUnquotedPlaceholderSplitsAtBlanksButOpensNoQuote) {
  ASSERT_EQ(cmd_run("1", "a\"b c\" d\\\"", "ON", dump("@name@ @addr@").c_str()), 0);
  EXPECT_EQ(tu::slurp(out), "a\"b\nc\"\nd\\\"\n1\n--\n");
}

TEST_F(CmdRun, AClosedStandardStreamDoesNotStopTheCommand) {
  // As a service manager may start the watcher: the command still runs, with the null device.
  for (int closed = 0; closed <= 2; ++closed) {
    std::remove(out.c_str());
    EXPECT_EQ(tu::in_child([&] {
      close(closed);
      return cmd_run("1", "n", "ON", dump("@name@").c_str());
    }), 0) << "fd " << closed;
    EXPECT_EQ(tu::slurp(out), "n\n--\n") << "fd " << closed;
  }
}

TEST_F(CmdRun, FailuresReleaseEverything) {
  err_no = 0;
  EXPECT_EQ(cmd_run("1", "n", "ON", dump("@host@").c_str()), -1);
  err_no = 0;
  EXPECT_EQ(cmd_run("1", "n", "ON", dump("@addr").c_str()), -1);
  err_no = 0;
  EXPECT_EQ(cmd_run("1", "n", "ON", "kestrel-no-such-program @addr@"), -1);
  err_no = 0;
  EXPECT_FALSE(tu::exists(out));
}

TEST_F(CmdRun, EarlierOutputComesFirst) {
  // The watcher's own line, still in its buffer, must precede the command's output in a pipe.
  const std::string file = dir.file("both.txt");
  ASSERT_EQ(tu::in_child([&] {
    const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
    setvbuf(stdout, nullptr, _IOFBF, 4096);
    std::printf("state line\n");
    return cmd_run("1", "n", "ON", "/bin/echo command output");
  }), 0);
  EXPECT_EQ(tu::slurp(file), "state line\ncommand output\n");
}

}  // namespace
