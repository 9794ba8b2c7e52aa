#include "cli/job_args.h"

#include "cli/run_job.h"
#include "plumbing/plumbing.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

namespace lvcli {
namespace {

constexpr size_t kNameColumn = 34;
constexpr size_t kLineWidth = 100;

// Breaks text into lines of at most width characters at blanks, each after the first indented.
std::string wrapped(const std::string& text, size_t width, size_t indent) {
  std::string out, line;
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

std::string numberText(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", v);
  return text;
}

std::string joinWords(const std::vector<std::string>& words) {
  std::string out;
  for (size_t i = 0; i < words.size(); ++i) out += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
  return out;
}

std::string displayName(const OptionRule& o) {
  const std::string name = o.shortName.empty() ? o.name : o.shortName + ", " + o.name;
  return o.value.empty() ? name : name + " " + o.value;
}

// How a required option shows in the synopsis: "-o OUT.tif".
std::string synopsisName(const OptionRule& o) {
  const std::string name = o.shortName.empty() ? o.name : o.shortName;
  return o.value.empty() ? name : name + " " + o.value;
}

void helpLine(std::ostringstream& out, const std::string& name, const std::string& help) {
  out << "  " << name;
  if (name.size() + 2 < kNameColumn) out << std::string(kNameColumn - 2 - name.size(), ' ');
  else out << "\n" << std::string(kNameColumn, ' ');
  out << wrapped(help, kLineWidth - kNameColumn, kNameColumn) << "\n";
}

bool isOptionLike(const std::string& a) { return a.size() > 1 && a[0] == '-'; }

const OptionRule* findOption(const CommandTable& table, const std::string& name) {
  for (const OptionRule& o : table.options) {
    if (o.name == name || (!o.shortName.empty() && o.shortName == name)) return &o;
  }
  return nullptr;
}

bool wholeNumber(const std::string& text, long& value) {
  char* end = nullptr;
  value = std::strtol(text.c_str(), &end, 10);
  return !text.empty() && *end == '\0' && !std::isspace(static_cast<unsigned char>(text[0]));
}

bool realNumber(const std::string& text, double& value) {
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(value) && !std::isspace(static_cast<unsigned char>(text[0]));
}

std::string checkFile(const OptionRule& o, const std::string& path) {
  std::error_code ec;
  if (!fs::exists(path, ec)) return o.name + ": '" + path + "' does not exist";
  if (!fs::is_regular_file(path, ec)) return o.name + ": '" + path + "' is not a file";
  return "";
}

std::string checkOutputFile(const OptionRule& o, const std::string& path, bool video = false) {
  std::error_code ec;
  const fs::path folder = fs::absolute(path, ec).parent_path();
  const char* what = video ? "video" : "image";
  if (fs::is_directory(path, ec)) return o.name + ": '" + path + "' is a folder; name the " + what + " to write";
  if (!fs::is_directory(folder, ec)) return o.name + ": folder '" + folder.string() + "' does not exist";
  std::string ext = fs::path(path).extension().string();
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (video && ext != ".mp4" && ext != ".avi") return o.name + ": cannot write a video named '" + path + "'; use .mp4 or .avi";
  if (!video && !cv::haveImageWriter(path)) return o.name + ": cannot write an image named '" + path + "'; use .tif";
  return "";
}

// Empty when the value suits the option, else why not.
std::string checkValue(const OptionRule& o, const std::string& v) {
  long whole = 0;
  double number = 0.0;
  std::error_code ec;
  switch (o.kind) {
    case ValueKind::Word:
      if (std::find(o.words.begin(), o.words.end(), v) != o.words.end()) return "";
      return o.name + " takes " + joinWords(o.words) + ", not '" + v + "'";
    case ValueKind::Whole:
      if (wholeNumber(v, whole) && whole >= o.least && whole <= o.most && (!o.odd || whole % 2 != 0)) return "";
      return o.name + " takes " + (o.odd ? "an odd" : "a") + " whole number from " + numberText(o.least) + " to " +
             numberText(o.most) + ", not '" + v + "'";
    case ValueKind::Number:
      if (realNumber(v, number) && number >= o.least && number <= o.most) return "";
      return o.name + " takes a number from " + numberText(o.least) + " to " + numberText(o.most) + ", not '" + v + "'";
    case ValueKind::File: return checkFile(o, v);
    case ValueKind::OutputFile: return checkOutputFile(o, v);
    case ValueKind::OutputVideo: return checkOutputFile(o, v, true);
    case ValueKind::OutputDir:
      if (fs::exists(v, ec) && !fs::is_directory(v, ec)) return o.name + ": '" + v + "' is a file, not a folder";
      return "";
    case ValueKind::Switch:
    case ValueKind::Frames:
    case ValueKind::Text: break;
  }
  return "";
}

// Reads one option at args[i] (advancing i past its values); empty when fine, else why not.
std::string takeOption(const CommandTable& table, const Args& args, size_t& i, ParsedCommand& parsed) {
  std::string name = args[i], inlineValue;
  const size_t eq = name.find('=');
  const bool hasInline = name.rfind("--", 0) == 0 && eq != std::string::npos;
  if (hasInline) inlineValue = name.substr(eq + 1), name = name.substr(0, eq);
  const OptionRule* o = findOption(table, name);
  if (o == nullptr) return "unknown option '" + args[i] + "'";
  if (parsed.has(o->name)) return o->name + " is given twice";
  std::vector<std::string>& values = parsed.values[o->name];
  if (o->kind == ValueKind::Switch) {
    if (hasInline) return o->name + " takes no value";
    values.push_back("");
    return "";
  }
  if (o->kind == ValueKind::Frames) {
    if (hasInline) values.push_back(inlineValue);
    while (i + 1 < args.size() && !isOptionLike(args[i + 1])) values.push_back(args[++i]);
    return values.empty() ? o->name + " needs at least one " + o->value : "";
  }
  if (!hasInline && i + 1 >= args.size()) return o->name + " needs a value (" + o->value + ")";
  values.push_back(hasInline ? inlineValue : args[++i]);
  return checkValue(*o, values.back());
}

std::string checkPairings(const CommandTable& table, const ParsedCommand& parsed) {
  for (const OptionRule& o : table.options) {
    if (o.required && !parsed.has(o.name)) return synopsisName(o) + " is required";
    if (!parsed.has(o.name)) continue;
    if (!o.needs.empty() && !parsed.has(o.needs)) return o.name + " goes with " + o.needs;
    if (!o.excludes.empty() && parsed.has(o.excludes)) return o.name + " and " + o.excludes + " cannot go together";
  }
  return "";
}

bool hasWildcard(const std::string& name) { return name.find_first_of("*?") != std::string::npos; }

// * any run of characters, ? one character.
bool matchesPattern(const char* pattern, const char* name) {
  if (*pattern == '\0') return *name == '\0';
  if (*pattern == '*') {
    for (const char* n = name;; ++n) {
      if (matchesPattern(pattern + 1, n)) return true;
      if (*n == '\0') return false;
    }
  }
  return *name != '\0' && (*pattern == '?' || *pattern == *name) && matchesPattern(pattern + 1, name + 1);
}

// The folder's files whose names pass `keep`, in name order; hidden files
// (such as the "._" companions some file systems add) never count.
bool listFolder(const fs::path& folder, const std::function<bool(const std::string&)>& keep, OwnFiles& own,
                std::vector<std::string>& out, std::vector<LeftOut>& leftOut, std::string& error) {
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code typeError;
    if (name.empty() || name[0] == '.' || !it->is_regular_file(typeError) || !keep(name)) continue;
    names.push_back(name);
  }
  if (ec) {
    error = "cannot read folder '" + folder.string() + "': " + ec.message();
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = (folder / name).string();
    const std::string why = own.why(folder.string(), name);
    if (why.empty()) out.push_back(path);
    else leftOut.push_back({path, why});
  }
  return true;
}

bool expandOne(const std::string& arg, OwnFiles& own, std::vector<std::string>& frames, std::vector<LeftOut>& leftOut,
               std::string& error) {
  std::error_code ec;
  const size_t before = frames.size();
  if (fs::is_directory(arg, ec)) {
    if (!listFolder(arg, NL_isFrameFileName, own, frames, leftOut, error)) return false;
    if (frames.size() == before) error = "folder '" + arg + "' holds no " + NL_frameFormatNames() + " frames";
  } else if (fs::exists(arg, ec)) {
    if (fs::is_regular_file(arg, ec)) frames.push_back(arg);
    else error = "'" + arg + "' is not a frame file";
  } else if (hasWildcard(fs::path(arg).filename().string())) {
    const fs::path pattern(arg);
    const fs::path folder = pattern.has_parent_path() ? pattern.parent_path() : fs::path(".");
    const std::string name = pattern.filename().string();
    auto keep = [&](const std::string& n) { return matchesPattern(name.c_str(), n.c_str()); };
    if (fs::is_directory(folder, ec) && !listFolder(folder, keep, own, frames, leftOut, error)) return false;
    if (frames.size() == before) error = "no file matches '" + arg + "'";
    // a pattern's own folder is spelled as the user spelled it, not with "./" in front
    if (!pattern.has_parent_path()) {
      for (size_t k = before; k < frames.size(); ++k) frames[k] = fs::path(frames[k]).filename().string();
    }
  } else {
    error = "frame '" + arg + "' does not exist";
  }
  return error.empty();
}

}  // namespace

OptionRule option(std::string name, ValueKind kind, std::string value, std::string help) {
  OptionRule o;
  o.name = std::move(name), o.kind = kind, o.value = std::move(value), o.help = std::move(help);
  return o;
}

OptionRule words(std::string name, std::vector<std::string> choices, std::string help) {
  std::string shown;
  for (const std::string& w : choices) shown += (shown.empty() ? "" : "|") + w;
  OptionRule o = option(std::move(name), ValueKind::Word, shown, std::move(help));
  o.words = std::move(choices);
  return o;
}

OptionRule range(std::string name, ValueKind kind, std::string value, double least, double most, std::string help) {
  OptionRule o = option(std::move(name), kind, std::move(value), std::move(help));
  o.least = least, o.most = most;
  return o;
}

std::string ParsedCommand::text(const std::string& option) const {
  const auto found = values.find(option);
  return found == values.end() || found->second.empty() ? std::string() : found->second.front();
}

double ParsedCommand::number(const std::string& option) const { return std::strtod(text(option).c_str(), nullptr); }

std::vector<std::string> ParsedCommand::list(const std::string& option) const {
  const auto found = values.find(option);
  return found == values.end() ? std::vector<std::string>() : found->second;
}

std::string usageText(const CommandTable& table) {
  std::ostringstream out;
  out << "usage: lumivex " << table.name << " " << table.frames;
  for (const OptionRule& o : table.options) {
    if (o.required) out << " " << synopsisName(o);
  }
  out << " [options]\n\n" << wrapped(table.summary, kLineWidth, 0) << "\n\n";
  if (!table.frames.empty()) helpLine(out, table.frames, table.framesHelp);
  for (const OptionRule& o : table.options) helpLine(out, displayName(o), o.help);
  if (table.runFlags) {
    for (const auto& flag : lumivexRunFlagsHelp()) helpLine(out, flag.first, flag.second);
  }
  helpLine(out, "-h, --help", "show this help");
  return out.str();
}

CommandTable commandTable(std::string name, std::string summary, std::string frames, std::string framesHelp) {
  CommandTable t;
  t.name = std::move(name), t.summary = std::move(summary);
  t.frames = std::move(frames), t.framesHelp = std::move(framesHelp);
  return t;
}

int readCommandLine(const CommandTable& table, const Args& args, ParsedCommand& parsed) {
  std::string error;
  const ParseOutcome outcome = parseCommandLine(table, args, parsed, error);
  if (outcome == ParseOutcome::Help) {
    std::cout << usageText(table);
    return 0;
  }
  return outcome == ParseOutcome::Bad ? usageError(table, error) : -1;
}

int usageError(const CommandTable& table, const std::string& error) {
  std::cerr << "lumivex " << table.name << ": " << error << "\n\n" << usageText(table);
  return 2;
}

ParseOutcome parseCommandLine(const CommandTable& table, const Args& args, ParsedCommand& parsed, std::string& error) {
  parsed = ParsedCommand();
  if (lumivexWantsHelp(args)) return ParseOutcome::Help;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size() && error.empty(); ++i) {
    JobRun ignored;
    const size_t most = table.oneFrame ? 1 : table.maxFrames;
    if (!optionsEnded && args[i] == "--") optionsEnded = true;
    else if (!optionsEnded && table.runFlags && lumivexTakeRunFlag(args[i], ignored)) parsed.runFlags.push_back(args[i]);
    else if (!optionsEnded && isOptionLike(args[i])) error = takeOption(table, args, i, parsed);
    else if (table.oneFrame && !parsed.frames.empty()) error = "only one " + table.frames + " can be given";
    else if (most != 0 && parsed.frames.size() >= most) error = "unexpected argument '" + args[i] + "'";
    else parsed.frames.push_back(args[i]);
  }
  if (error.empty() && parsed.frames.empty() && table.minFrames > 0) {
    error = "no " + table.frames.substr(0, table.frames.find_first_of(". ")) + " given";
  } else if (error.empty() && parsed.frames.size() < table.minFrames) {
    error = "give " + table.frames;
  }
  if (error.empty()) error = checkPairings(table, parsed);
  return error.empty() ? ParseOutcome::Run : ParseOutcome::Bad;
}

bool expandFrames(const std::vector<std::string>& args, OwnFiles& own, std::vector<std::string>& frames,
                  std::vector<LeftOut>& leftOut, std::string& error) {
  frames.clear();
  for (const std::string& arg : args) {
    if (!expandOne(arg, own, frames, leftOut, error)) return false;
  }
  return true;
}

bool expandFrames(const std::vector<std::string>& args, const std::vector<std::string>& skip,
                  std::vector<std::string>& frames, std::string& error) {
  std::vector<LeftOut> named, leftOut;
  for (const std::string& path : skip) named.push_back({path, "an output of this command"});
  OwnFiles own(named);
  return expandFrames(args, own, frames, leftOut, error);
}

bool samePath(const std::string& a, const std::string& b) {
  std::error_code ea, eb;
  const fs::path ca = fs::weakly_canonical(a, ea), cb = fs::weakly_canonical(b, eb);
  if (!ea && !eb) return ca == cb;
  return fs::absolute(a).lexically_normal() == fs::absolute(b).lexically_normal();
}

}  // namespace lvcli
