// Property sets and the property suite. A property has one kind (string,
// int, double, pointer) and any number of values. Setting a property the set
// does not have yet creates it, so everything a plug-in declares can be read
// back; setting one with a setter of another kind is refused, which is how a
// default given with the wrong setter shows up in a test.
#include <unordered_set>

#include "host/state.h"

Host* gOpenHost = nullptr;

std::mutex& hostMutex() {
  static std::mutex mutex;
  return mutex;
}

namespace {

std::unordered_set<const void*>& liveHandles() {
  static std::unordered_set<const void*> handles;
  return handles;
}

void countBadHandle() {
  if (gOpenHost) ++gOpenHost->badHandles;
}

const char* kindName(PropKind kind) {
  switch (kind) {
    case PropKind::String:
      return "string";
    case PropKind::Int:
      return "int";
    case PropKind::Double:
      return "double";
    case PropKind::Pointer:
      return "pointer";
  }
  return "";
}

void define(OfxPropertySetStruct& set, const char* name, PropKind kind,
            std::vector<PropValue> values) {
  Property& prop = set.props[name];
  prop.kind = kind;
  prop.values = values;
  prop.initial = std::move(values);
}

void assign(PropValue& slot, PropKind kind, const void* value) {
  switch (kind) {
    case PropKind::String:
      slot.s =
          *static_cast<const char* const*>(value) ? *static_cast<const char* const*>(value) : "";
      break;
    case PropKind::Int:
      slot.i = *static_cast<const int*>(value);
      break;
    case PropKind::Double:
      slot.d = *static_cast<const double*>(value);
      break;
    case PropKind::Pointer:
      slot.p = *static_cast<void* const*>(value);
      break;
  }
}

// One setter for every kind: `value` points at the value to store.
OfxStatus setOne(OfxPropertySetHandle set, const char* name, int index, PropKind kind,
                 const void* value) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!set || !liveHandle(set)) return kOfxStatErrBadHandle;
  if (!name || index < 0) return kOfxStatErrBadIndex;
  auto it = set->props.find(name);
  if (it == set->props.end()) {
    if (index != 0) return kOfxStatErrBadIndex;
    it = set->props.emplace(name, Property{kind, {}, {}}).first;
  }
  Property& prop = it->second;
  if (prop.kind != kind) return kOfxStatErrValue;
  if (index > static_cast<int>(prop.values.size())) return kOfxStatErrBadIndex;
  if (index == static_cast<int>(prop.values.size())) prop.values.emplace_back();
  assign(prop.values[index], kind, value);
  return kOfxStatOK;
}

OfxStatus setMany(OfxPropertySetHandle set, const char* name, int count, PropKind kind,
                  const void* values, size_t stride) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!set || !liveHandle(set)) return kOfxStatErrBadHandle;
  if (!name || count < 0 || (count > 0 && !values)) return kOfxStatErrBadIndex;
  auto it = set->props.find(name);
  if (it == set->props.end()) it = set->props.emplace(name, Property{kind, {}, {}}).first;
  Property& prop = it->second;
  if (prop.kind != kind) return kOfxStatErrValue;
  prop.values.assign(count, PropValue{});
  for (int k = 0; k < count; ++k)
    assign(prop.values[k], kind, static_cast<const char*>(values) + k * stride);
  return kOfxStatOK;
}

// Looks a value up for a getter; the lock is held by the caller.
OfxStatus find(OfxPropertySetHandle set, const char* name, int index, PropKind kind,
               const PropValue** out) {
  if (!set || !liveHandle(set)) return kOfxStatErrBadHandle;
  if (!name) return kOfxStatErrUnknown;
  auto it = set->props.find(name);
  if (it == set->props.end()) return kOfxStatErrUnknown;
  if (it->second.kind != kind) return kOfxStatErrValue;
  if (index < 0 || index >= static_cast<int>(it->second.values.size())) return kOfxStatErrBadIndex;
  *out = &it->second.values[index];
  return kOfxStatOK;
}

OfxStatus propSetPointer(OfxPropertySetHandle s, const char* n, int i, void* v) {
  return setOne(s, n, i, PropKind::Pointer, &v);
}
OfxStatus propSetString(OfxPropertySetHandle s, const char* n, int i, const char* v) {
  return setOne(s, n, i, PropKind::String, &v);
}
OfxStatus propSetDouble(OfxPropertySetHandle s, const char* n, int i, double v) {
  return setOne(s, n, i, PropKind::Double, &v);
}
OfxStatus propSetInt(OfxPropertySetHandle s, const char* n, int i, int v) {
  return setOne(s, n, i, PropKind::Int, &v);
}
OfxStatus propSetPointerN(OfxPropertySetHandle s, const char* n, int c, void* const* v) {
  return setMany(s, n, c, PropKind::Pointer, v, sizeof(void*));
}
OfxStatus propSetStringN(OfxPropertySetHandle s, const char* n, int c, const char* const* v) {
  return setMany(s, n, c, PropKind::String, v, sizeof(const char*));
}
OfxStatus propSetDoubleN(OfxPropertySetHandle s, const char* n, int c, const double* v) {
  return setMany(s, n, c, PropKind::Double, v, sizeof(double));
}
OfxStatus propSetIntN(OfxPropertySetHandle s, const char* n, int c, const int* v) {
  return setMany(s, n, c, PropKind::Int, v, sizeof(int));
}

OfxStatus propGetPointer(OfxPropertySetHandle s, const char* n, int i, void** v) {
  std::lock_guard<std::mutex> lock(hostMutex());
  const PropValue* found = nullptr;
  OfxStatus st = find(s, n, i, PropKind::Pointer, &found);
  if (st == kOfxStatOK && v) *v = found->p;
  return st;
}
OfxStatus propGetString(OfxPropertySetHandle s, const char* n, int i, char** v) {
  std::lock_guard<std::mutex> lock(hostMutex());
  const PropValue* found = nullptr;
  OfxStatus st = find(s, n, i, PropKind::String, &found);
  if (st == kOfxStatOK && v) *v = const_cast<char*>(returnString(found->s));
  return st;
}
OfxStatus propGetDouble(OfxPropertySetHandle s, const char* n, int i, double* v) {
  std::lock_guard<std::mutex> lock(hostMutex());
  const PropValue* found = nullptr;
  OfxStatus st = find(s, n, i, PropKind::Double, &found);
  if (st == kOfxStatOK && v) *v = found->d;
  return st;
}
OfxStatus propGetInt(OfxPropertySetHandle s, const char* n, int i, int* v) {
  std::lock_guard<std::mutex> lock(hostMutex());
  const PropValue* found = nullptr;
  OfxStatus st = find(s, n, i, PropKind::Int, &found);
  if (st == kOfxStatOK && v) *v = found->i;
  return st;
}

// The N getters read indexes 0..count-1 with the single getters' rules.
OfxStatus propGetPointerN(OfxPropertySetHandle s, const char* n, int c, void** v) {
  for (int k = 0; k < c; ++k)
    if (OfxStatus st = propGetPointer(s, n, k, v + k)) return st;
  return kOfxStatOK;
}
OfxStatus propGetStringN(OfxPropertySetHandle s, const char* n, int c, char** v) {
  // Each string needs a buffer that outlives the next call, so all of them
  // are returned from one joined buffer.
  std::lock_guard<std::mutex> lock(hostMutex());
  std::vector<std::string> texts;
  for (int k = 0; k < c; ++k) {
    const PropValue* found = nullptr;
    if (OfxStatus st = find(s, n, k, PropKind::String, &found)) return st;
    texts.push_back(found->s);
  }
  std::string joined;
  for (const std::string& t : texts) joined += t + '\0';
  const char* base = returnString(joined);
  for (int k = 0; k < c; ++k) {
    v[k] = const_cast<char*>(base);
    base += texts[k].size() + 1;
  }
  return kOfxStatOK;
}
OfxStatus propGetDoubleN(OfxPropertySetHandle s, const char* n, int c, double* v) {
  for (int k = 0; k < c; ++k)
    if (OfxStatus st = propGetDouble(s, n, k, v + k)) return st;
  return kOfxStatOK;
}
OfxStatus propGetIntN(OfxPropertySetHandle s, const char* n, int c, int* v) {
  for (int k = 0; k < c; ++k)
    if (OfxStatus st = propGetInt(s, n, k, v + k)) return st;
  return kOfxStatOK;
}

OfxStatus propReset(OfxPropertySetHandle s, const char* n) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!s || !liveHandle(s)) return kOfxStatErrBadHandle;
  auto it = n ? s->props.find(n) : s->props.end();
  if (it == s->props.end()) return kOfxStatErrUnknown;
  it->second.values = it->second.initial;
  return kOfxStatOK;
}

OfxStatus propGetDimension(OfxPropertySetHandle s, const char* n, int* count) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!s || !liveHandle(s)) return kOfxStatErrBadHandle;
  auto it = n ? s->props.find(n) : s->props.end();
  if (it == s->props.end()) return kOfxStatErrUnknown;
  if (count) *count = static_cast<int>(it->second.values.size());
  return kOfxStatOK;
}

// Readers for tests: the value when present, else the kind's zero.
template <typename T>
T readProp(OfxPropertySetHandle set, const char* name, int index, PropKind kind,
           T PropValue::*field) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!set || !name || liveHandles().count(set) == 0) return T{};
  auto it = set->props.find(name);
  if (it == set->props.end() || it->second.kind != kind || index < 0 ||
      index >= static_cast<int>(it->second.values.size()))
    return T{};
  return it->second.values[index].*field;
}

}  // namespace

const OfxPropertySuiteV1 kPropertySuite = {
    propSetPointer, propSetString,  propSetDouble,   propSetInt,     propSetPointerN,
    propSetStringN, propSetDoubleN, propSetIntN,     propGetPointer, propGetString,
    propGetDouble,  propGetInt,     propGetPointerN, propGetStringN, propGetDoubleN,
    propGetIntN,    propReset,      propGetDimension};

void registerHandle(const void* handle) { liveHandles().insert(handle); }
void unregisterHandle(const void* handle) { liveHandles().erase(handle); }

bool liveHandle(const void* handle) {
  if (liveHandles().count(handle)) return true;
  countBadHandle();
  return false;
}

void registerPropertySet(OfxPropertySetStruct& set) { registerHandle(&set); }
void unregisterPropertySet(OfxPropertySetStruct& set) { unregisterHandle(&set); }

void defineString(OfxPropertySetStruct& set, const char* name, std::vector<std::string> values) {
  std::vector<PropValue> v(values.size());
  for (size_t k = 0; k < values.size(); ++k) v[k].s = values[k];
  define(set, name, PropKind::String, std::move(v));
}
void defineInt(OfxPropertySetStruct& set, const char* name, std::vector<int> values) {
  std::vector<PropValue> v(values.size());
  for (size_t k = 0; k < values.size(); ++k) v[k].i = values[k];
  define(set, name, PropKind::Int, std::move(v));
}
void defineDouble(OfxPropertySetStruct& set, const char* name, std::vector<double> values) {
  std::vector<PropValue> v(values.size());
  for (size_t k = 0; k < values.size(); ++k) v[k].d = values[k];
  define(set, name, PropKind::Double, std::move(v));
}
void definePointer(OfxPropertySetStruct& set, const char* name, void* value) {
  std::vector<PropValue> v(1);
  v[0].p = value;
  define(set, name, PropKind::Pointer, std::move(v));
}

const char* returnString(const std::string& text) {
  thread_local std::string buffer;
  buffer = text;
  return buffer.c_str();
}

const OfxPropertySuiteV1* hostPropertySuite() { return &kPropertySuite; }

OfxPropertySetHandle hostNewPropertySet() {
  auto* set = new OfxPropertySetStruct;
  std::lock_guard<std::mutex> lock(hostMutex());
  registerPropertySet(*set);
  return set;
}

void hostFreePropertySet(OfxPropertySetHandle props) {
  if (!props) return;
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    unregisterPropertySet(*props);
  }
  delete props;
}

bool hostPropExists(OfxPropertySetHandle props, const char* name) {
  return hostPropDimension(props, name) >= 0;
}

int hostPropDimension(OfxPropertySetHandle props, const char* name) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!props || !name || liveHandles().count(props) == 0) return -1;
  auto it = props->props.find(name);
  return it == props->props.end() ? -1 : static_cast<int>(it->second.values.size());
}

std::string hostPropType(OfxPropertySetHandle props, const char* name) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!props || !name || liveHandles().count(props) == 0) return "";
  auto it = props->props.find(name);
  return it == props->props.end() ? "" : kindName(it->second.kind);
}

std::string hostPropString(OfxPropertySetHandle props, const char* name, int index) {
  return readProp(props, name, index, PropKind::String, &PropValue::s);
}
int hostPropInt(OfxPropertySetHandle props, const char* name, int index) {
  return readProp(props, name, index, PropKind::Int, &PropValue::i);
}
double hostPropDouble(OfxPropertySetHandle props, const char* name, int index) {
  return readProp(props, name, index, PropKind::Double, &PropValue::d);
}
void* hostPropPointer(OfxPropertySetHandle props, const char* name, int index) {
  return readProp(props, name, index, PropKind::Pointer, &PropValue::p);
}
