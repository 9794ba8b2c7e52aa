// Value: the add-on's own dynamic value, the form every host value takes
// inside the add-on. Owns its payload, movable, not copyable, nests.
#pragma once

#include "addon/addon.h"

#include <cstdint>
#include <deque>
#include <map>
#include <string>

class Value {
 public:
  enum Kind : std::int32_t { Undefined = 0, Boolean = 1, Number = 2, String = 3, List = 4, Map = 5 };
  using ListType = std::deque<Value>;
  using MapType = std::map<std::string, Value>;

  Value() = default;
  explicit Value(bool b);
  explicit Value(double d);
  explicit Value(std::string&& text);           // takes the contents over; the argument is left empty
  explicit Value(const std::string& text);
  explicit Value(const char* text);             // without it a literal would pick the bool constructor
  explicit Value(Kind kind);                    // List or Map: empty container; else throws "invalid kind"
  Value(addon_env env, addon_value value);      // host -> Value; host failures throw "error"
  Value(Value&& other) noexcept;
  Value& operator=(Value&& other) noexcept;
  Value(const Value&) = delete;
  Value& operator=(const Value&) = delete;
  ~Value();

  Kind GetKind() const { return kind_; }
  // Throws the C string "Incorrect value kind" when the kind differs.
  void RequireKind(Kind kind) const;
  bool GetBoolean() const;
  double GetNumber() const;
  std::string GetString() const;
  ListType& GetList();
  const ListType& GetList() const;
  MapType& GetMap();
  const MapType& GetMap() const;

  addon_value Convert(addon_env env) const;
  // Value -> host; every host failure throws "error". Null for an unknown kind.
  static addon_value ConvertValue(addon_env env, const Value& value);

 private:
  void release();
  void takeFrom(Value& other) noexcept;

  Kind kind_ = Undefined;
  union {
    bool boolean_;
    double number_ = 0.0;
    std::string* string_;
    ListType* list_;
    MapType* map_;
  };
};

// The host string reader: the bytes up to the first zero byte; host failures throw "error".
std::string GetString(const addon_apis& apis, addon_env env, addon_value value);
