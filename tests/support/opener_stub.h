// What the test and demo bundles' opener was given. Their opener is
// tests/support/record-opener, which appends each URL as a line to the file
// TALVANE_OPENED_URLS names; an OpenerStub points that variable at a fresh
// file for its lifetime and reads it back. Nothing on the machine is started.
// Not for use from several threads at once: it changes the process environment.
#pragma once

#include <string>
#include <vector>

class OpenerStub {
 public:
  OpenerStub();
  ~OpenerStub();
  OpenerStub(const OpenerStub&) = delete;
  OpenerStub& operator=(const OpenerStub&) = delete;

  // Every URL opened so far, one per run in the order recorded (a run given
  // other than one argument shows as "<argc=N>").
  std::vector<std::string> urls() const;
  // True once at least n runs have been recorded, within `seconds`.
  bool waitForCalls(size_t n, double seconds) const;
  // The URLs, once `count` have arrived or after five seconds.
  std::vector<std::string> waitForUrls(size_t count) const;

 private:
  std::string dir_;
  bool hadOld_ = false;
  std::string old_;
};
