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
  OutputVideo, // a video to write (.mp4 or .avi); its folder exists
  OutputDir,   // a folder to write into; made when missing
  Frames,      // one or more frames: files, globs or folders, up to the next option
  Text,        // any value, checked by the command itself
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

// Rows of a table: an option of any kind, one taking a word from `choices`,
// one taking a number within least..most.
OptionRule option(std::string name, ValueKind kind, std::string value, std::string help);
OptionRule words(std::string name, std::vector<std::string> choices, std::string help);
OptionRule range(std::string name, ValueKind kind, std::string value, double least, double most, std::string help);

struct CommandTable {
  std::string name;        // "trail"
  std::string summary;     // what the command does, one sentence
  std::string frames;      // "FRAME..." or "IMAGE"
  std::string framesHelp;
  bool oneFrame = false;   // a single file rather than a frame list
  std::vector<OptionRule> options;
  size_t minFrames = 1;    // arguments that are no option: at least this many
  size_t maxFrames = 0;    // and at most this many; 0: any number
  bool runFlags = true;    // takes --quiet, --async and --background (the job-running commands)
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

// A table with no options yet: the command's name, one sentence of what it
// does, and its arguments that are no option with their help.
CommandTable commandTable(std::string name, std::string summary, std::string frames, std::string framesHelp);

// Reads a command line against the table as every command does: --help
// prints the usage on stdout (0), bad usage the reason and the usage on
// stderr (2). Returns that status, or -1 when the command goes on.
int readCommandLine(const CommandTable& table, const Args& args, ParsedCommand& parsed);

// The tables of the commands that run no job of their own.
const CommandTable& runTable();
const CommandTable& callTable();
const CommandTable& synthTable();
const CommandTable& demoTable();
const CommandTable& registerTable();
// Bad usage of a command: "lumivex NAME: ERROR", a blank line and the usage on stderr; returns 2.
int usageError(const CommandTable& table, const std::string& error);

enum class ParseOutcome { Run, Help, Bad };
// Reads the arguments after the command's name against its table. Bad: error
// holds why (one line, without the program's name). Checks values, ranges,
// required options and their pairings; frame lists are checked by expandFrames.
ParseOutcome parseCommandLine(const CommandTable& table, const Args& args, ParsedCommand& parsed, std::string& error);

// Turns frame arguments into files: a folder gives the image files the reader decodes in
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
