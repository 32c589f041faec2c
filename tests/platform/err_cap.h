// What this process writes to standard error while the object lives.
#pragma once
#include <unistd.h>

#include <cstdio>
#include <string>

#include "test_util.h"

namespace tu {

class err_cap {
 public:
  err_cap() : pth_(dir_.file("err.txt")) {
    std::fflush(stderr);
    old_ = dup(2);
    std::FILE* f = std::fopen(pth_.c_str(), "w");
    dup2(fileno(f), 2);
    std::fclose(f);
  }
  ~err_cap() { stop(); }
  err_cap(const err_cap&) = delete;
  err_cap& operator=(const err_cap&) = delete;
  // What was written so far; standard error is its own again after the first call.
  std::string txt() {
    stop();
    return slurp(pth_);
  }

 private:
  void stop() {
    if (old_ < 0) return;
    std::fflush(stderr);
    dup2(old_, 2);
    close(old_);
    old_ = -1;
  }
  tmp_dir dir_;
  std::string pth_;
  int old_ = -1;
};

}  // namespace tu
