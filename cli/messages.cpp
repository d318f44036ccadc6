// What the tool says about the account. The panel's labels are written for
// buttons in a host ("click Sign In to retry", "buy more →"); a command line
// has flags instead, so each label becomes this tool's own line.
#include <cstdlib>

#include "cli/cli.h"

namespace {

const char kDash[] = " \xE2\x80\x94 ";  // " — " between the label's parts

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::string printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == 0x7f) continue;
    // C1 controls (U+0080..U+009F) are 0xC2 0x80..0x9F in UTF-8.
    if (c == 0xC2 && i + 1 < text.size()) {
      const unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        ++i;
        continue;
      }
    }
    out.push_back(static_cast<char>(c));
  }
  return out;
}

std::string accountLine(const std::string& rawLabel, const std::string& serviceUrl) {
  const std::string label = printable(rawLabel);
  if (label.empty()) return "signed out";
  if (startsWith(label, "Approve in your browser")) return "waiting for approval in the browser";
  if (label == "Requesting a sign-in code...") return "asking the service for a sign-in code";
  if (label == "Checking account...") return "checking the account";
  if (label == std::string("Session expired") + kDash + "sign in again")
    return "session rejected — sign in again (run with --sign-in)";
  if (startsWith(label, "Signed in (backend unreachable"))
    return "signed in, but cannot reach " + serviceUrl;
  if (startsWith(label, "Sign in failed: ")) {
    const std::string reason = label.substr(16);
    if (reason == "HTTP 0" || reason == "cannot reach the service")
      return "sign-in failed: cannot reach " + serviceUrl;
    return "sign-in failed: " + reason;
  }
  const std::string retry = std::string(kDash) + "click Sign In to retry";
  if (endsWith(label, retry)) {
    std::string what = label.substr(0, label.size() - retry.size());
    if (!what.empty())
      what[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(what[0])));
    return what + " — run with --sign-in again";
  }
  // "<email> — N tokens", with " — buy more →" when none are left.
  const size_t dash = label.find(kDash);
  if (dash != std::string::npos) {
    const std::string email = label.substr(0, dash);
    const std::string rest = label.substr(dash + sizeof kDash - 1);
    char* end = nullptr;
    const long count = std::strtol(rest.c_str(), &end, 10);
    if (end != rest.c_str() && startsWith(end, " tokens")) {
      if (count <= 0) return email + ", no credits left";
      return email + ", " + std::to_string(count) + (count == 1 ? " credit" : " credits");
    }
  }
  return label;
}
