#include "addon/value.h"

#include <utility>
#include <vector>

namespace {

const addon_apis& host() { return UxpAddonInterface::instance().apis(); }

void check(addon_status status) {
  if (status != addon_ok) throw "error";
}

const char* const kWrongKind = "Incorrect value kind";

}  // namespace

std::string GetString(const addon_apis& apis, addon_env env, addon_value value) {
  size_t length = 0;
  check(apis.get_value_string_utf8(env, value, nullptr, 0, &length));
  if (length == 0) return std::string();
  // Two spare bytes: one for the host's terminator, one so that byte n can be
  // forced to zero whatever the host reports.
  std::vector<char> buffer(length + 2, '\0');
  size_t copied = 0;
  check(apis.get_value_string_utf8(env, value, buffer.data(), length + 1, &copied));
  if (copied == 0) return std::string();
  buffer[length] = '\0';
  return std::string(buffer.data());
}

Value::Value(bool b) : kind_(Boolean) { boolean_ = b; }
Value::Value(double d) : kind_(Number) { number_ = d; }
Value::Value(std::string&& text) : kind_(String) { string_ = new std::string(std::move(text)); }
Value::Value(const std::string& text) : kind_(String) { string_ = new std::string(text); }
Value::Value(const char* text) : kind_(String) { string_ = new std::string(text ? text : ""); }

Value::Value(Kind kind) {
  if (kind == List) {
    list_ = new ListType();
  } else if (kind == Map) {
    map_ = new MapType();
  } else {
    throw "invalid kind";
  }
  kind_ = kind;
}

Value::Value(Value&& other) noexcept { takeFrom(other); }

Value& Value::operator=(Value&& other) noexcept {
  if (this != &other) {
    release();
    takeFrom(other);
  }
  return *this;
}

// Scalars are copied; an owned payload moves and the source keeps its kind
// with no payload, so destroying it frees nothing.
void Value::takeFrom(Value& other) noexcept {
  kind_ = other.kind_;
  switch (kind_) {
    case Boolean: boolean_ = other.boolean_; break;
    case Number: number_ = other.number_; break;
    case String: string_ = std::exchange(other.string_, nullptr); break;
    case List: list_ = std::exchange(other.list_, nullptr); break;
    case Map: map_ = std::exchange(other.map_, nullptr); break;
    default: break;
  }
}

Value::~Value() { release(); }

void Value::release() {
  switch (kind_) {
    case String: delete string_; string_ = nullptr; break;
    case List: delete list_; list_ = nullptr; break;
    case Map: delete map_; map_ = nullptr; break;
    default: break;
  }
}

void Value::RequireKind(Kind kind) const {
  if (kind_ != kind) throw kWrongKind;
}

bool Value::GetBoolean() const {
  RequireKind(Boolean);
  return boolean_;
}

double Value::GetNumber() const {
  RequireKind(Number);
  return number_;
}

// A moved-from value keeps its kind but has no payload: it reads as empty.
std::string Value::GetString() const {
  RequireKind(String);
  return string_ ? *string_ : std::string();
}

Value::ListType& Value::GetList() {
  RequireKind(List);
  if (!list_) throw kWrongKind;
  return *list_;
}

const Value::ListType& Value::GetList() const {
  RequireKind(List);
  if (!list_) throw kWrongKind;
  return *list_;
}

Value::MapType& Value::GetMap() {
  RequireKind(Map);
  if (!map_) throw kWrongKind;
  return *map_;
}

const Value::MapType& Value::GetMap() const {
  RequireKind(Map);
  if (!map_) throw kWrongKind;
  return *map_;
}

namespace {

// A script object that contains itself would otherwise recurse until the
// stack runs out; nothing a job file path needs is nested this deep.
constexpr int kMaxNesting = 200;

Value fromHost(const addon_apis& apis, addon_env env, addon_value value, int depth);

Value mapFromHost(const addon_apis& apis, addon_env env, addon_value object, int depth) {
  Value result(Value::Map);
  addon_value names = nullptr;
  check(apis.get_property_names(env, object, &names));
  uint32_t count = 0;
  check(apis.get_array_length(env, names, &count));
  for (uint32_t i = 0; i < count; ++i) {
    addon_value key = nullptr;
    check(apis.get_element(env, names, i, &key));
    std::string name = GetString(apis, env, key);
    addon_value member = nullptr;
    check(apis.get_property(env, object, key, &member));
    // emplace keeps the first value of a repeated key
    result.GetMap().emplace(std::move(name), fromHost(apis, env, member, depth + 1));
  }
  return result;
}

Value listFromHost(const addon_apis& apis, addon_env env, addon_value array, int depth) {
  Value result(Value::List);
  uint32_t count = 0;
  check(apis.get_array_length(env, array, &count));
  for (uint32_t i = 0; i < count; ++i) {
    addon_value element = nullptr;
    check(apis.get_element(env, array, i, &element));
    result.GetList().push_back(fromHost(apis, env, element, depth + 1));
  }
  return result;
}

Value fromHost(const addon_apis& apis, addon_env env, addon_value value, int depth) {
  if (depth > kMaxNesting) throw "unsupported type";
  addon_valuetype type = addon_type_undefined;
  check(apis.type_of(env, value, &type));
  switch (type) {
    case addon_type_undefined: return Value();
    case addon_type_boolean: {
      bool b = false;
      check(apis.get_value_bool(env, value, &b));
      return Value(b);
    }
    case addon_type_number: {
      double d = 0.0;
      check(apis.get_value_double(env, value, &d));
      return Value(d);
    }
    case addon_type_string: return Value(GetString(apis, env, value));
    case addon_type_object: return mapFromHost(apis, env, value, depth);
    default: break;
  }
  bool isArray = false;
  check(apis.is_array(env, value, &isArray));
  if (!isArray) throw "unsupported type";
  return listFromHost(apis, env, value, depth);
}

}  // namespace

Value::Value(addon_env env, addon_value value) { *this = fromHost(host(), env, value, 0); }

addon_value Value::Convert(addon_env env) const { return ConvertValue(env, *this); }

namespace {

addon_value stringToHost(const addon_apis& apis, addon_env env, const std::string& text) {
  addon_value out = nullptr;
  check(apis.create_string_utf8(env, text.data(), text.size(), &out));
  return out;
}

}  // namespace

addon_value Value::ConvertValue(addon_env env, const Value& value) {
  const addon_apis& apis = host();
  addon_value out = nullptr;
  switch (value.kind_) {
    case Undefined: check(apis.get_undefined(env, &out)); return out;
    case Boolean: check(apis.get_boolean(env, value.boolean_, &out)); return out;
    case Number: check(apis.create_double(env, value.number_, &out)); return out;
    case String: return stringToHost(apis, env, value.string_ ? *value.string_ : std::string());
    case List: {
      check(apis.create_array(env, &out));
      if (!value.list_) return out;
      uint32_t index = 0;
      for (const Value& element : *value.list_) {
        addon_value converted = ConvertValue(env, element);
        check(apis.set_element(env, out, index++, converted));
      }
      return out;
    }
    case Map: {
      check(apis.create_object(env, &out));
      if (!value.map_) return out;
      for (const auto& entry : *value.map_) {
        addon_value key = stringToHost(apis, env, entry.first);
        addon_value converted = ConvertValue(env, entry.second);
        check(apis.set_property(env, out, key, converted));
      }
      return out;
    }
  }
  return nullptr;
}
