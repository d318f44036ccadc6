// Parameters: descriptors with the standard's default properties per type,
// instance values (a constant, or keyframes by time), the parameter suite with
// its variadic value calls, and the record of every value the plug-in sets.
#include <cfloat>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "host/state.h"

namespace {

constexpr const char* kParamPropType = "OfxParamPropType";

enum class ValueKind { None, Double, Int, String };

ValueKind kindOf(const std::string& type) {
  if (type == kOfxParamTypeDouble) return ValueKind::Double;
  if (type == kOfxParamTypeInteger || type == kOfxParamTypeBoolean || type == kOfxParamTypeChoice)
    return ValueKind::Int;
  if (type == kOfxParamTypeString) return ValueKind::String;
  return ValueKind::None;
}

bool knownType(const std::string& type) {
  return kindOf(type) != ValueKind::None || type == kOfxParamTypeGroup ||
         type == kOfxParamTypePushButton || type == "OfxParamTypePage";
}

// The value at `time`: the constant, or the keys (linear between two Double
// keys, else the earlier key; the nearest key outside them).
ParamValue valueAt(const OfxParamStruct& param, OfxTime time) {
  if (param.keys.empty()) return param.value;
  auto after = param.keys.lower_bound(time);
  if (after == param.keys.end()) return std::prev(after)->second;
  if (after->first == time || after == param.keys.begin()) return after->second;
  auto before = std::prev(after);
  if (kindOf(param.type) != ValueKind::Double) return before->second;
  ParamValue v = before->second;
  double f = (time - before->first) / (after->first - before->first);
  v.d = before->second.d + f * (after->second.d - before->second.d);
  return v;
}

// The instance's parameter record, lock held.
OfxParamStruct* findParam(HostInstance* instance, const std::string& name) {
  if (!instance) return nullptr;
  for (auto& p : instance->effect.params.params)
    if (p->name == name) return p.get();
  return nullptr;
}

OfxStatus getValue(OfxParamHandle h, OfxTime time, va_list args) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!h || !liveHandle(h)) return kOfxStatErrBadHandle;
  ParamValue v = valueAt(*h, time);
  switch (kindOf(h->type)) {
    case ValueKind::Double:
      *va_arg(args, double*) = v.d;
      return kOfxStatOK;
    case ValueKind::Int:
      *va_arg(args, int*) = v.i;
      return kOfxStatOK;
    case ValueKind::String:
      *va_arg(args, const char**) = returnString(v.s);
      return kOfxStatOK;
    case ValueKind::None:
      break;
  }
  return kOfxStatErrUnsupported;
}

// Reads one value of the parameter's kind from the plug-in's arguments,
// stores it, and records the change. The callback runs after the lock.
OfxStatus setValue(OfxParamHandle h, bool atTime, OfxTime time, va_list args) {
  ParamChange change;
  std::function<void(HostInstance*, const ParamChange&)> callback;
  HostInstance* instance = nullptr;
  {
    std::lock_guard<std::mutex> lock(hostMutex());
    if (!h || !liveHandle(h)) return kOfxStatErrBadHandle;
    ParamValue v = atTime ? valueAt(*h, time) : h->value;
    switch (kindOf(h->type)) {
      case ValueKind::Double:
        v.d = va_arg(args, double);
        change.number = v.d;
        break;
      case ValueKind::Int:
        v.i = va_arg(args, int);
        change.number = v.i;
        break;
      case ValueKind::String: {
        const char* text = va_arg(args, const char*);
        v.s = text ? text : "";
        change.text = v.s;
        break;
      }
      case ValueKind::None:
        return kOfxStatErrUnsupported;
    }
    if (change.text.empty() && kindOf(h->type) != ValueKind::String) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.17g", change.number);
      change.text = buffer;
    }
    if (atTime) {
      h->keys[time] = v;
    } else {
      h->value = v;
      h->keys.clear();
    }
    change.param = h->name;
    change.atTime = atTime;
    change.time = atTime ? time : 0.0;
    instance = h->instance;
    if (instance) instance->changes.push_back(change);
    if (instance && instance->host) callback = instance->host->onParamChange;
  }
  if (callback) callback(instance, change);
  return kOfxStatOK;
}

OfxStatus paramDefine(OfxParamSetHandle set, const char* type, const char* name,
                      OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (props) *props = nullptr;
  if (!set || !liveHandle(set)) return kOfxStatErrBadHandle;
  if (!type || !name) return kOfxStatErrValue;
  for (auto& p : set->params)
    if (p->name == name) return kOfxStatErrExists;
  OfxParamStruct* param = newParam(type, name);
  if (!param) return kOfxStatErrUnknown;
  set->params.emplace_back(param);
  if (props) *props = &param->props;
  return kOfxStatOK;
}

OfxStatus paramGetHandle(OfxParamSetHandle set, const char* name, OfxParamHandle* param,
                         OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (param) *param = nullptr;
  if (props) *props = nullptr;
  if (!set || !liveHandle(set)) return kOfxStatErrBadHandle;
  for (auto& p : set->params) {
    if (name && p->name == name) {
      if (param) *param = p.get();
      if (props) *props = &p->props;
      return kOfxStatOK;
    }
  }
  return kOfxStatErrUnknown;
}

OfxStatus paramSetGetPropertySet(OfxParamSetHandle set, OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!set || !liveHandle(set)) return kOfxStatErrBadHandle;
  if (props) *props = &set->props;
  return kOfxStatOK;
}

OfxStatus paramGetPropertySet(OfxParamHandle param, OfxPropertySetHandle* props) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (props) *props = nullptr;
  if (!param || !liveHandle(param)) return kOfxStatErrBadHandle;
  if (props) *props = &param->props;
  return kOfxStatOK;
}

OfxStatus paramGetValue(OfxParamHandle h, ...) {
  va_list args;
  va_start(args, h);
  OfxStatus st = getValue(h, 0.0, args);
  va_end(args);
  return st;
}

OfxStatus paramGetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list args;
  va_start(args, time);
  OfxStatus st = getValue(h, time, args);
  va_end(args);
  return st;
}

OfxStatus paramGetDerivative(OfxParamHandle, OfxTime, ...) { return kOfxStatErrUnsupported; }
OfxStatus paramGetIntegral(OfxParamHandle, OfxTime, OfxTime, ...) { return kOfxStatErrUnsupported; }

OfxStatus paramSetValue(OfxParamHandle h, ...) {
  va_list args;
  va_start(args, h);
  OfxStatus st = setValue(h, false, 0.0, args);
  va_end(args);
  return st;
}

OfxStatus paramSetValueAtTime(OfxParamHandle h, OfxTime time, ...) {
  va_list args;
  va_start(args, time);
  OfxStatus st = setValue(h, true, time, args);
  va_end(args);
  return st;
}

OfxStatus paramGetNumKeys(OfxParamHandle h, unsigned int* count) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!h || !liveHandle(h)) return kOfxStatErrBadHandle;
  if (count) *count = static_cast<unsigned>(h->keys.size());
  return kOfxStatOK;
}

OfxStatus paramGetKeyTime(OfxParamHandle h, unsigned int nth, OfxTime* time) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!h || !liveHandle(h)) return kOfxStatErrBadHandle;
  if (nth >= h->keys.size()) return kOfxStatErrBadIndex;
  if (time) *time = std::next(h->keys.begin(), nth)->first;
  return kOfxStatOK;
}

// direction 0: the key at `time`; -1: the last key before it; 1: the first after.
OfxStatus paramGetKeyIndex(OfxParamHandle h, OfxTime time, int direction, int* index) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!h || !liveHandle(h)) return kOfxStatErrBadHandle;
  int k = 0, found = -1;
  for (auto& key : h->keys) {
    if ((direction == 0 && key.first == time) || (direction < 0 && key.first < time)) found = k;
    if (direction > 0 && key.first > time) {
      found = k;
      break;
    }
    ++k;
  }
  if (found < 0) return kOfxStatFailed;
  if (index) *index = found;
  return kOfxStatOK;
}

OfxStatus paramDeleteKey(OfxParamHandle h, OfxTime time) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!h || !liveHandle(h)) return kOfxStatErrBadHandle;
  return h->keys.erase(time) ? kOfxStatOK : kOfxStatErrBadIndex;
}

OfxStatus paramDeleteAllKeys(OfxParamHandle h) {
  std::lock_guard<std::mutex> lock(hostMutex());
  if (!h || !liveHandle(h)) return kOfxStatErrBadHandle;
  h->keys.clear();
  return kOfxStatOK;
}

OfxStatus paramCopy(OfxParamHandle, OfxParamHandle, OfxTime, const OfxRangeD*) {
  return kOfxStatErrUnsupported;
}

OfxStatus paramEditBegin(OfxParamSetHandle set, const char*) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return set && liveHandle(set) ? kOfxStatOK : kOfxStatErrBadHandle;
}

OfxStatus paramEditEnd(OfxParamSetHandle set) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return set && liveHandle(set) ? kOfxStatOK : kOfxStatErrBadHandle;
}

// Host-side edits: store a value of the parameter's kind, lock taken here.
bool storeValue(HostInstance* instance, const std::string& name, const OfxTime* time, double number,
                const std::string* text) {
  std::lock_guard<std::mutex> lock(hostMutex());
  OfxParamStruct* param = findParam(instance, name);
  if (!param) return false;
  ValueKind kind = kindOf(param->type);
  if (kind == ValueKind::None || (kind == ValueKind::String) != (text != nullptr)) return false;
  ParamValue v;
  if (kind == ValueKind::Double) v.d = number;
  if (kind == ValueKind::Int) v.i = static_cast<int>(number);
  if (text) v.s = *text;
  if (time) {
    param->keys[*time] = v;
  } else {
    param->value = v;
    param->keys.clear();
  }
  return true;
}

}  // namespace

const OfxParameterSuiteV1 kParameterSuite = {
    paramDefine,      paramGetHandle,      paramSetGetPropertySet, paramGetPropertySet,
    paramGetValue,    paramGetValueAtTime, paramGetDerivative,     paramGetIntegral,
    paramSetValue,    paramSetValueAtTime, paramGetNumKeys,        paramGetKeyTime,
    paramGetKeyIndex, paramDeleteKey,      paramDeleteAllKeys,     paramCopy,
    paramEditBegin,   paramEditEnd};

const OfxParameterSuiteV1* hostParameterSuite() { return &kParameterSuite; }

OfxParamStruct* newParam(const std::string& type, const std::string& name) {
  if (!knownType(type)) return nullptr;
  auto* param = new OfxParamStruct;
  param->name = name;
  param->type = type;
  OfxPropertySetStruct& p = param->props;
  defineString(p, kOfxPropType, {kOfxTypeParameter});
  defineString(p, kOfxPropName, {name});
  defineString(p, kOfxPropLabel, {name});
  defineString(p, kParamPropType, {type});
  defineString(p, kOfxParamPropHint, {""});
  defineString(p, kOfxParamPropParent, {""});
  defineInt(p, kOfxParamPropSecret, {0});
  defineInt(p, kOfxParamPropEvaluateOnChange, {1});
  defineInt(p, kOfxParamPropAnimates, {1});
  defineInt(p, kOfxParamPropPersistant, {1});
  switch (kindOf(type)) {
    case ValueKind::Double:
      defineDouble(p, kOfxParamPropDefault, {0.0});
      defineDouble(p, kOfxParamPropMin, {-DBL_MAX});
      defineDouble(p, kOfxParamPropMax, {DBL_MAX});
      defineDouble(p, kOfxParamPropDisplayMin, {-DBL_MAX});
      defineDouble(p, kOfxParamPropDisplayMax, {DBL_MAX});
      break;
    case ValueKind::Int:
      defineInt(p, kOfxParamPropDefault, {0});
      if (type == kOfxParamTypeInteger) {
        defineInt(p, kOfxParamPropMin, {INT_MIN});
        defineInt(p, kOfxParamPropMax, {INT_MAX});
        defineInt(p, kOfxParamPropDisplayMin, {INT_MIN});
        defineInt(p, kOfxParamPropDisplayMax, {INT_MAX});
      }
      if (type == kOfxParamTypeChoice) defineString(p, kOfxParamPropChoiceOption, {});
      break;
    case ValueKind::String:
      defineString(p, kOfxParamPropDefault, {""});
      defineString(p, kOfxParamPropStringMode, {kOfxParamStringIsSingleLine});
      break;
    case ValueKind::None:
      if (type == kOfxParamTypeGroup) defineInt(p, kOfxParamPropGroupOpen, {1});
      break;
  }
  registerHandle(param);
  registerPropertySet(param->props);
  return param;
}

// An instance's parameter: the descriptor's properties, its default as value.
OfxParamStruct* instanceParam(const OfxParamStruct& descriptor, HostInstance* instance) {
  auto* param = new OfxParamStruct;
  param->name = descriptor.name;
  param->type = descriptor.type;
  param->props.props = descriptor.props.props;
  param->instance = instance;
  auto it = param->props.props.find(kOfxParamPropDefault);
  if (it != param->props.props.end() && !it->second.values.empty()) {
    const PropValue& d = it->second.values[0];
    param->value.d = d.d;
    param->value.i = d.i;
    param->value.s = d.s;
  }
  registerHandle(param);
  registerPropertySet(param->props);
  return param;
}

bool hostSetValue(HostInstance* instance, const std::string& name, double value) {
  return storeValue(instance, name, nullptr, value, nullptr);
}
bool hostSetValue(HostInstance* instance, const std::string& name, const std::string& value) {
  return storeValue(instance, name, nullptr, 0.0, &value);
}
bool hostSetValueAtTime(HostInstance* instance, const std::string& name, OfxTime time,
                        double value) {
  return storeValue(instance, name, &time, value, nullptr);
}
bool hostSetValueAtTime(HostInstance* instance, const std::string& name, OfxTime time,
                        const std::string& value) {
  return storeValue(instance, name, &time, 0.0, &value);
}

double hostGetDouble(HostInstance* instance, const std::string& name, OfxTime time) {
  std::lock_guard<std::mutex> lock(hostMutex());
  OfxParamStruct* param = findParam(instance, name);
  if (!param) return 0.0;
  ParamValue v = valueAt(*param, time);
  return kindOf(param->type) == ValueKind::Int ? v.i : v.d;
}

int hostGetInt(HostInstance* instance, const std::string& name, OfxTime time) {
  std::lock_guard<std::mutex> lock(hostMutex());
  OfxParamStruct* param = findParam(instance, name);
  if (!param) return 0;
  ParamValue v = valueAt(*param, time);
  return kindOf(param->type) == ValueKind::Double ? static_cast<int>(v.d) : v.i;
}

std::string hostGetString(HostInstance* instance, const std::string& name, OfxTime time) {
  std::lock_guard<std::mutex> lock(hostMutex());
  OfxParamStruct* param = findParam(instance, name);
  return param ? valueAt(*param, time).s : std::string();
}

std::vector<ParamChange> hostParamChanges(HostInstance* instance) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return instance ? instance->changes : std::vector<ParamChange>();
}

OfxParamHandle hostParam(HostInstance* instance, const std::string& name) {
  std::lock_guard<std::mutex> lock(hostMutex());
  return findParam(instance, name);
}

OfxPropertySetHandle hostParamProps(HostInstance* instance, const std::string& name) {
  std::lock_guard<std::mutex> lock(hostMutex());
  OfxParamStruct* param = findParam(instance, name);
  return param ? &param->props : nullptr;
}
