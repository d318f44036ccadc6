#include "tests/support/opener_stub.h"

#include <stdlib.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/temp_home.h"

namespace {

constexpr char kVariable[] = "TALVANE_OPENED_URLS";

}  // namespace

OpenerStub::OpenerStub() {
  char pattern[] = "/tmp/talvane-opener-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  if (const char* old = std::getenv(kVariable)) {
    hadOld_ = true;
    old_ = old;
  }
  ::setenv(kVariable, (dir_ + "/opened.txt").c_str(), 1);
}

OpenerStub::~OpenerStub() {
  if (hadOld_) ::setenv(kVariable, old_.c_str(), 1);
  else ::unsetenv(kVariable);
  removeTree(dir_);
}

std::vector<std::string> OpenerStub::urls() const {
  std::ifstream in(dir_ + "/opened.txt");
  std::stringstream content;
  content << in.rdbuf();
  // Only whole lines: a run still writing has not finished its record.
  const std::string text = content.str();
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    result.push_back(text.substr(start, end - start));
  return result;
}

bool OpenerStub::waitForCalls(size_t n, double seconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (urls().size() >= n) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

std::vector<std::string> OpenerStub::waitForUrls(size_t count) const {
  waitForCalls(count, 5.0);
  return urls();
}
