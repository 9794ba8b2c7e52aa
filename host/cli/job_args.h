// Command lines of the job commands (lumivex trail, stack, glow, skyblend):
// each command is a table of options, from which its parsing, its checks and
// its --help text all follow, so every command reads and answers alike.
#pragma once

#include "cli/commands.h"
#include "cli/own_files.h"

#include <map>
#include <string>
#include <vector>

namespace lvcli {

enum class ValueKind {
  Switch,      // no value
  Word,        // one of `words`
  Whole,       // a whole number within least..most (odd only when `odd`)
  Number,      // a number within least..most
  File,        // an existing file
  OutputFile,  // a file to write; its folder exists
  OutputDir,   // a folder to write into; made when missing
  Frames,      // one or more frames: files, globs or folders, up to the next option
};

struct OptionRule {
  std::string name;       // "--window"
  std::string shortName;  // "-o", or empty
  ValueKind kind = ValueKind::Switch;
  std::string value;      // what the usage shows for the value: "N", "OUT.tif"
  std::string help;
  std::vector<std::string> words;
  double least = 0.0, most = 0.0;
  bool odd = false;
  bool required = false;
  std::string needs;      // another option this one goes with
  std::string excludes;   // another option this one cannot go with
};

struct CommandTable {
  std::string name;        // "trail"
  std::string summary;     // what the command does, one sentence
  std::string frames;      // "FRAME..." or "IMAGE"
  std::string framesHelp;
  bool oneFrame = false;   // a single file rather than a frame list
  std::vector<OptionRule> options;
};

struct ParsedCommand {
  std::vector<std::string> frames;                          // as given
  std::map<std::string, std::vector<std::string>> values;   // by option name; a switch holds one empty value
  std::vector<std::string> runFlags;                        // flags that choose how the job runs

  bool has(const std::string& option) const { return values.count(option) != 0; }
  // The option's (first) value; empty when it is absent.
  std::string text(const std::string& option) const;
  double number(const std::string& option) const;
  std::vector<std::string> list(const std::string& option) const;
};

// The --help text: synopsis, summary, then one line per argument and option.
std::string usageText(const CommandTable& table);

enum class ParseOutcome { Run, Help, Bad };
// Reads the arguments after the command's name against its table. Bad: error
// holds why (one line, without the program's name). Checks values, ranges,
// required options and their pairings; frame lists are checked by expandFrames.
ParseOutcome parseCommandLine(const CommandTable& table, const Args& args, ParsedCommand& parsed, std::string& error);

// Turns frame arguments into files: a folder gives its TIFF and PNG files in
// name order, a pattern with * or ? the matching files in name order, a file
// itself. Files that `own` knows as Lumivex's own never come from a folder or
// a pattern; each one passed over is added to leftOut. False with error
// naming the first argument that gives nothing.
bool expandFrames(const std::vector<std::string>& args, OwnFiles& own, std::vector<std::string>& frames,
                  std::vector<LeftOut>& leftOut, std::string& error);
// The same with `skip` (what the job will write) as the only files of ours.
bool expandFrames(const std::vector<std::string>& args, const std::vector<std::string>& skip,
                  std::vector<std::string>& frames, std::string& error);

// The same file, also through another spelling of its path.
bool samePath(const std::string& a, const std::string& b);

}  // namespace lvcli
