// Result records of host values and their printed forms.
#include "standin/detail/host_impl.h"

#include <cmath>
#include <locale>
#include <sstream>

namespace lvhost {
namespace {

// Shortest text that reads back as the same double, "C" locale.
std::string formatNumber(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "Infinity" : "-Infinity";
  for (int precision = 1; precision <= 17; ++precision) {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(precision);
    out << x;
    std::istringstream back(out.str());
    back.imbue(std::locale::classic());
    double y = 0.0;
    back >> y;
    if (y == x) return out.str();
  }
  return "0";
}

std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

constexpr int kMaxDepth = 32;  // renderings of self-referencing objects stop here

std::string render(const StandinHost::Impl& h, ValueId id, int depth);

std::string renderMembers(const StandinHost::Impl& h, const HostValue& v, int depth) {
  std::string out = "{";
  for (size_t i = 0; i < v.props.size(); ++i) {
    out += (i ? ", " : "") + v.props[i].first + ": " + render(h, v.props[i].second, depth + 1);
  }
  return out + "}";
}

std::string render(const StandinHost::Impl& h, ValueId id, int depth) {
  const HostValue* v = h.get(id);
  if (v == nullptr) return "(no value)";
  if (depth > kMaxDepth) return "...";
  switch (v->type) {
    case HostValue::Undefined: return "undefined";
    case HostValue::Null: return "null";
    case HostValue::Boolean: return v->boolean ? "true" : "false";
    case HostValue::Number: return formatNumber(v->number);
    case HostValue::String: return depth == 0 ? v->bytes : quoted(v->bytes);
    case HostValue::Function: return "function";
    case HostValue::Error: return "error " + v->errorCode + ": " + v->errorMessage;
    case HostValue::Promise: return "promise";
    case HostValue::Array: {
      std::string out = "[";
      for (size_t i = 0; i < v->elements.size(); ++i) {
        out += (i ? ", " : "") + render(h, v->elements[i], depth + 1);
      }
      return out + "]";
    }
    case HostValue::Object: return renderMembers(h, *v, depth);
  }
  return "?";
}

}  // namespace

CallResult inspectLocked(const StandinHost::Impl& h, ValueId id, int depth) {
  CallResult r;
  const HostValue* v = h.get(id);
  if (v == nullptr) {
    r.kind = ResultKind::NullHandle;
    return r;
  }
  switch (v->type) {
    case HostValue::Undefined: r.kind = ResultKind::Undefined; break;
    case HostValue::Null: r.kind = ResultKind::Object; r.text = "null"; break;
    case HostValue::Boolean: r.kind = ResultKind::Boolean; r.boolean = v->boolean; break;
    case HostValue::Number: r.kind = ResultKind::Number; r.number = v->number; break;
    case HostValue::String: r.kind = ResultKind::String; r.text = v->bytes; break;
    case HostValue::Function: r.kind = ResultKind::Function; break;
    case HostValue::Error:
      r.kind = ResultKind::Error;
      r.code = v->errorCode;
      r.text = v->errorMessage;
      break;
    case HostValue::Promise:
      r.kind = v->promiseState == 1 ? ResultKind::Resolved
               : v->promiseState == 2 ? ResultKind::Rejected
                                      : ResultKind::Pending;
      if (v->promiseState != 0) r.settled = std::make_shared<CallResult>(inspectLocked(h, v->settledValue, depth + 1));
      break;
    case HostValue::Array: r.kind = ResultKind::Array; r.text = render(h, id, depth); break;
    case HostValue::Object: r.kind = ResultKind::Object; r.text = render(h, id, depth); break;
  }
  return r;
}

std::string describeValue(const CallResult& r) {
  switch (r.kind) {
    case ResultKind::Undefined: return "undefined";
    case ResultKind::Boolean: return r.boolean ? "true" : "false";
    case ResultKind::Number: return formatNumber(r.number);
    case ResultKind::Function: return "function";
    case ResultKind::NullHandle: return "(no value)";
    case ResultKind::Error: return r.code + ": " + r.text;
    case ResultKind::Resolved:
    case ResultKind::Rejected: return r.settled ? describeValue(*r.settled) : "(no value)";
    case ResultKind::Pending: return "pending";
    default: return r.text;
  }
}

std::string describeResult(const CallResult& r) {
  switch (r.kind) {
    case ResultKind::Error: return "error: " + r.code + ": " + r.text;
    case ResultKind::Resolved: return "resolved: " + describeValue(r);
    case ResultKind::Rejected: return "rejected: " + describeValue(r);
    case ResultKind::Pending: return "pending: " + (r.text.empty() ? std::string("never settled") : r.text);
    default: return describeValue(r);
  }
}

}  // namespace lvhost
