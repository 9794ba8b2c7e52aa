// Textual readers over JSON job files. The script side writes flat, simple
// JSON, and the first occurrence of a quoted key wins wherever it stands.
#include "plumbing/plumbing.h"

#include <cerrno>
#include <cstdlib>

namespace {

bool isJsonSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string needleOf(const std::string& key) { return "\"" + key + "\""; }

// Pipes, devices and oversized files read as empty, like a missing file.
std::string readWholeFile(const std::string& path) {
  std::string text;
  std::string failure;
  NL_readJobFile(path, text, failure);
  return text;
}

// Index of the bracket closing the one at `open`, honouring strings and
// escapes; npos when the text ends first.
size_t findMatchingClose(const std::string& text, size_t open, char openCh, char closeCh) {
  bool escaped = false;
  bool inString = false;
  int depth = 0;
  for (size_t i = open; i < text.size(); ++i) {
    const char c = text[i];
    if (escaped) {
      escaped = false;
      continue;
    }
    if (c == '\\') {
      escaped = true;
      continue;
    }
    if (c == '"') {
      inString = !inString;
      continue;
    }
    if (inString) continue;
    if (c == openCh) {
      ++depth;
    } else if (c == closeCh) {
      if (--depth == 0) return i;
    }
  }
  return std::string::npos;
}

bool isNumberChar(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.' || c == 'E' || c == 'e';
}

// Raw characters after the opening quote at `quote`, up to the next unescaped
// quote or the end of the text; backslash pairs are kept for unescaping.
// `end` receives the index of the closing quote (the text size when missing).
std::string collectRawString(const std::string& text, size_t quote, size_t& end) {
  std::string raw;
  size_t i = quote + 1;
  for (; i < text.size(); ++i) {
    if (text[i] == '\\') {
      raw += text[i];
      if (i + 1 < text.size()) raw += text[++i];
      continue;
    }
    if (text[i] == '"') break;
    raw += text[i];
  }
  end = i;
  return raw;
}

// Value start of the first "key" at or after `from`; npos when there is none.
size_t valueStartFrom(const std::string& text, const std::string& key, size_t from) {
  const std::string needle = needleOf(key);
  const size_t at = text.find(needle, from);
  if (at == std::string::npos) return std::string::npos;
  const size_t colon = text.find(':', at + needle.size());
  if (colon == std::string::npos) return std::string::npos;
  size_t pos = colon + 1;
  while (pos < text.size() && isJsonSpace(text[pos])) ++pos;
  return pos;
}

// The string value of the first "key" at or after `from`, unescaped; empty
// when the value is not a string. Searching in place, not in a copy of the
// rest, keeps a long array of paths linear.
std::string stringValueFrom(const std::string& text, const std::string& key, size_t from) {
  const size_t quote = valueStartFrom(text, key, from);
  // A number, object or null is no path: reading on to the next quoted word
  // would write files in odd places.
  if (quote == std::string::npos || quote >= text.size() || text[quote] != '"') return std::string();
  size_t end = 0;
  return NL_unescapeJsonString(collectRawString(text, quote, end));
}

}  // namespace

std::string NL_readTextFile(const std::string& path) { return readWholeFile(path); }

std::string NL_sgReadTextFile(const std::string& path) { return readWholeFile(path); }

size_t NL_jsonFindValueStart(const std::string& text, const std::string& key) { return valueStartFrom(text, key, 0); }

std::string NL_unescapeJsonString(const std::string& raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c != '\\' || i + 1 >= raw.size()) {
      out += c;
      continue;
    }
    const char next = raw[i + 1];
    switch (next) {
      case '"': case '/': case '\\': out += next; ++i; break;
      case 'n': out += '\n'; ++i; break;
      case 'r': out += '\r'; ++i; break;
      case 't': out += '\t'; ++i; break;
      default: out += c; break;  // kept; the next character is processed normally
    }
  }
  return out;
}

std::string NL_extractJsonString(const std::string& text, const std::string& key) {
  return stringValueFrom(text, key, 0);
}

std::string NL_jsonString(const std::string& text, const std::string& key, const std::string& fallback) {
  const size_t start = NL_jsonFindValueStart(text, key);
  if (start == std::string::npos || start >= text.size() || text[start] != '"') return fallback;
  // The same decoding as every other job's reader: a path written as
  // "x\tdone.tif" names a file with a tab, not the file "xtdone.tif".
  size_t end = 0;
  const std::string raw = collectRawString(text, start, end);
  if (end >= text.size()) return fallback;  // no closing quote: a job file cut short
  return NL_unescapeJsonString(raw);
}

double NL_jsonNumber(const std::string& text, const std::string& key, double fallback) {
  const size_t start = NL_jsonFindValueStart(text, key);
  if (start == std::string::npos || start >= text.size()) return fallback;
  size_t end = start;
  while (end < text.size() && isNumberChar(text[end])) ++end;
  if (end == start) return fallback;
  const std::string run = text.substr(start, end - start);
  char* stop = nullptr;
  errno = 0;
  const double value = std::strtod(run.c_str(), &stop);
  if (stop == run.c_str() || errno == ERANGE) return fallback;
  return value;
}

bool NL_jsonBool(const std::string& text, const std::string& key, bool fallback) {
  const size_t start = NL_jsonFindValueStart(text, key);
  if (start == std::string::npos || start >= text.size()) return fallback;
  if (text.compare(start, 4, "true") == 0) return true;
  if (text.compare(start, 5, "false") == 0) return false;
  return fallback;
}

std::vector<std::string> NL_extractJsonStringArray(const std::string& text, const std::string& key) {
  std::vector<std::string> out;
  const size_t at = text.find(needleOf(key));
  if (at == std::string::npos) return out;
  const size_t open = text.find('[', at);
  if (open == std::string::npos) return out;
  const size_t close = text.find(']', open + 1);
  if (close == std::string::npos) return out;
  const std::string body = text.substr(open + 1, close - open - 1);
  size_t pos = 0;
  while (true) {
    const size_t quote = body.find('"', pos);
    if (quote == std::string::npos) break;
    size_t i = 0;
    out.push_back(NL_unescapeJsonString(collectRawString(body, quote, i)));
    if (i >= body.size()) break;
    pos = i + 1;
  }
  return out;
}

std::vector<std::string> NL_extractJsonPathObjectsArray(const std::string& text, const std::string& key) {
  std::vector<std::string> out;
  const size_t at = text.find(needleOf(key));
  if (at == std::string::npos) return out;
  const size_t open = text.find('[', at);
  if (open == std::string::npos) return out;
  const size_t close = findMatchingClose(text, open, '[', ']');
  if (close == std::string::npos) return out;
  const std::string body = text.substr(open + 1, close - open - 1);
  const std::string pathNeedle = needleOf("path");
  size_t offset = 0;
  while (true) {
    const std::string value = stringValueFrom(body, "path", offset);
    if (value.empty()) break;
    out.push_back(value);
    const size_t next = body.find(pathNeedle, offset);
    if (next == std::string::npos) break;
    offset = next + pathNeedle.size();
  }
  if (out.empty()) return NL_extractJsonStringArray(text, key);
  return out;
}

std::string NL_extractJsonNestedString(const std::string& text, const std::string& objectKey,
                                       const std::string& key) {
  const size_t at = text.find(needleOf(objectKey));
  if (at == std::string::npos) return std::string();
  const size_t open = text.find('{', at);
  if (open == std::string::npos) return std::string();
  const size_t close = findMatchingClose(text, open, '{', '}');
  if (close == std::string::npos) return std::string();
  return NL_extractJsonString(text.substr(open, close - open + 1), key);
}
