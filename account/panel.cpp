// The account panel: three buttons and one label, and what the stored token
// and a live account query say they should show.
#include <cstdio>
#include <string>

#include "account/account.h"
#include "backend/backend.h"

namespace {

constexpr size_t kLabelBufferSize = 256;

void setHidden(OfxParamHandle param, int hidden) {
  if (!param) return;
  OfxPropertySetHandle props = nullptr;
  if (gParamSuite->paramGetPropertySet(param, &props) != kOfxStatOK || !props) return;
  gPropSuite->propSetInt(props, "OfxParamPropSecret", 0, hidden);
}

// A label cut at the buffer's size must not end inside a UTF-8 sequence, or
// the host would be handed invalid text.
std::string cutLabel(const char* buffer) {
  std::string text(buffer);
  if (text.size() < kLabelBufferSize - 1) return text;
  size_t end = text.size();
  size_t start = end;
  while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start > 0) {
    const unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    const size_t need = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (need > 1 && end - (start - 1) < need) text.resize(start - 1);
  }
  return text;
}

}  // namespace

void applyAccountState(Instance* instance, AccountState state, const std::string& label) {
  if (!instance || !gParamSuite || !gPropSuite) return;
  const bool signedIn = state == SignedIn || state == OutOfTokens;
  setHidden(instance->handle(ParamId::SignIn), signedIn ? 1 : 0);
  setHidden(instance->handle(ParamId::SignOut), signedIn ? 0 : 1);
  setHidden(instance->handle(ParamId::BuyTokens), state == OutOfTokens ? 0 : 1);
  if (instance->handle(ParamId::AccountInfo))
    gParamSuite->paramSetValue(instance->handle(ParamId::AccountInfo), label.c_str());
}

AccountView queryAccount() {
  AccountView view;
  const std::string token = keychainGetToken(kKeychainService, kServiceBaseUrl);
  if (token.empty()) return view;  // signed out, empty label

  std::string email;
  int balance = 0;
  const int status = fetchBalance(kServiceBaseUrl, token, email, balance);
  char label[kLabelBufferSize];
  if (status == 200) {
    if (balance >= 1) {
      std::snprintf(label, sizeof label, "%s — %d tokens", email.c_str(), balance);
      view.state = SignedIn;
    } else {
      std::snprintf(label, sizeof label, "%s — 0 tokens — buy more →", email.c_str());
      view.state = OutOfTokens;
    }
    view.label = cutLabel(label);
  } else if (status == 401 || status == 403) {
    // Only the service's own rejection ends a session; an outage never does.
    keychainDeleteToken(kKeychainService, kServiceBaseUrl);
    view.label = "Session expired — sign in again";
  } else {
    view.state = SignedIn;
    view.label = "Signed in (backend unreachable — will retry)";
  }
  return view;
}
