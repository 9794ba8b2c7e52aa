// A small JSON text builder for truth and job files: strings escaped, numbers
// printed through snprintf (the program never changes the "C" locale).
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace synth {
namespace detail {

inline std::string jsonQuote(const std::string& s) {
  std::string out = "\"";
  for (const unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// %.17g round-trips a double exactly: truth matrices must be the very ones used.
// `significant` digits, or at full precision the shortest text that reads
// back as the same double (0.6, not 0.59999999999999998); JSON has no NaN.
inline std::string jsonNumber(double v, int significant = 17) {
  if (!std::isfinite(v)) return "null";
  char buf[40];
  if (significant >= 17 && v == std::floor(v) && std::fabs(v) < 1e15) {  // 600, not 6e+02
    std::snprintf(buf, sizeof buf, "%.0f", v);
    return buf;
  }
  for (int digits = significant < 17 ? significant : 1; digits <= significant; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  return buf;
}

inline std::string jsonArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + "]";
}

// Members are appended in order; values are already JSON text.
class JsonObject {
 public:
  JsonObject& add(const std::string& key, const std::string& jsonValue) {
    members_.push_back(jsonQuote(key) + ": " + jsonValue);
    return *this;
  }
  JsonObject& addString(const std::string& key, const std::string& value) {
    return add(key, jsonQuote(value));
  }
  JsonObject& addNumber(const std::string& key, double value, int significant = 17) {
    return add(key, jsonNumber(value, significant));
  }
  JsonObject& addBool(const std::string& key, bool value) { return add(key, value ? "true" : "false"); }
  // indent: spaces before each member; the closing brace goes indent - 2 in.
  std::string text(int indent = 2) const {
    if (members_.empty()) return "{}";
    const std::string pad(indent, ' '), close(indent >= 2 ? indent - 2 : 0, ' ');
    std::string out = "{\n";
    for (size_t i = 0; i < members_.size(); ++i) out += pad + members_[i] + (i + 1 < members_.size() ? ",\n" : "\n");
    return out + close + "}";
  }

 private:
  std::vector<std::string> members_;
};

}  // namespace detail
}  // namespace synth
