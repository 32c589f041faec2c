// The console as the program finds it at its start.
#include "platform/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

namespace {

bool is_null_dev(int fd) {
  struct stat a{}, b{};
  return fstat(fd, &a) == 0 && stat("/dev/null", &b) == 0 && S_ISCHR(a.st_mode) && a.st_rdev == b.st_rdev;
}

TEST(ConsoleStart, ClosedStandardStreamsGetTheNullDevice) {
  // Otherwise the next file opened would take the slot and receive what is meant for it.
  EXPECT_EQ(tu::in_child([] {
    close(0);
    close(2);
    if (con_ini() != 0) return 1;
    if (!is_null_dev(0) || !is_null_dev(2)) return 2;
    return is_null_dev(1) ? 3 : 0;   // an open one is left alone
  }), 0);
}

TEST(ConsoleStart, AReaderThatGoesAwayDoesNotEndTheProgram) {
  EXPECT_EQ(tu::in_child([] {
    if (con_ini() != 0) return 1;
    int p[2];
    if (pipe(p) != 0) return 2;
    close(p[0]);
    return write(p[1], "x", 1) == -1 && errno == EPIPE ? 0 : 3;
  }), 0);
}

}  // namespace
