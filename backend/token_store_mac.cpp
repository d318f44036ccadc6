// Token store in the macOS keychain: one generic-password item per service
// and account key.
#include "backend/backend.h"

#include <CoreFoundation/CoreFoundation.h>
#include <Security/Security.h>

#include <cstdio>

namespace {

void release(CFTypeRef object) {
  if (object) CFRelease(object);
}

CFStringRef makeString(const std::string& text) {
  return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
                                 CFIndex(text.size()), kCFStringEncodingUTF8, false);
}

CFMutableDictionaryRef makeDictionary() {
  return CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                   &kCFTypeDictionaryValueCallBacks);
}

// Class, service and account of the item; null when a text isn't valid UTF-8.
CFMutableDictionaryRef makeItemQuery(const std::string& serviceName, const std::string& account) {
  CFStringRef service = makeString(serviceName);
  CFStringRef accountKey = makeString(account);
  CFMutableDictionaryRef query = nullptr;
  if (service && accountKey) {
    query = makeDictionary();
    if (query) {
      CFDictionarySetValue(query, kSecClass, kSecClassGenericPassword);
      CFDictionarySetValue(query, kSecAttrService, service);
      CFDictionarySetValue(query, kSecAttrAccount, accountKey);
    }
  }
  release(service);
  release(accountKey);
  return query;
}

}  // namespace

bool keychainStoreToken(const std::string& service, const std::string& account,
                        const std::string& token) {
  if (account.empty() || service.empty()) return false;
  OSStatus status = errSecParam;
  CFMutableDictionaryRef query = makeItemQuery(service, account);
  CFDataRef secret = CFDataCreate(kCFAllocatorDefault, reinterpret_cast<const UInt8*>(token.data()),
                                  CFIndex(token.size()));
  CFMutableDictionaryRef change = makeDictionary();
  if (query && secret && change) {
    // Update first so a second store replaces the secret instead of adding an item.
    CFDictionarySetValue(change, kSecValueData, secret);
    status = SecItemUpdate(query, change);
    if (status == errSecItemNotFound) {
      CFDictionarySetValue(query, kSecValueData, secret);
      status = SecItemAdd(query, nullptr);
    }
  }
  release(change);
  release(secret);
  release(query);
  if (status == errSecSuccess) return true;
  char line[64];
  std::snprintf(line, sizeof line, "keychain store failed: %d", int(status));
  dbg(line);
  return false;
}

std::string keychainGetToken(const std::string& service, const std::string& account) {
  if (account.empty() || service.empty()) return {};
  std::string token;
  CFMutableDictionaryRef query = makeItemQuery(service, account);
  if (query) {
    CFDictionarySetValue(query, kSecReturnData, kCFBooleanTrue);
    CFDictionarySetValue(query, kSecMatchLimit, kSecMatchLimitOne);
    CFTypeRef result = nullptr;
    OSStatus status = SecItemCopyMatching(query, &result);
    if (status == errSecSuccess && result && CFGetTypeID(result) == CFDataGetTypeID()) {
      CFDataRef data = static_cast<CFDataRef>(result);
      token.assign(reinterpret_cast<const char*>(CFDataGetBytePtr(data)),
                   size_t(CFDataGetLength(data)));
    }
    release(result);
  }
  release(query);
  return token;
}

bool keychainDeleteToken(const std::string& service, const std::string& account) {
  if (account.empty() || service.empty()) return false;
  CFMutableDictionaryRef query = makeItemQuery(service, account);
  if (!query) return false;
  OSStatus status = SecItemDelete(query);
  release(query);
  return status == errSecSuccess || status == errSecItemNotFound;
}
