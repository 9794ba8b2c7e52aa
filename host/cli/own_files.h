// Files in a frames folder that Lumivex itself wrote: earlier results, the
// side images of a synthetic scene, results still being written. A folder of
// frames often holds them too, and a frame list must never take them.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace lvcli {

// A file left out of a frame list and why.
struct LeftOut {
  std::string path;
  std::string why;  // "an output of this command", "written by an earlier run (trails_1_stack_job.txt)", ...
};

// The result images a job file or result log names (JSON keys or key=value lines).
std::vector<std::string> outputsNamedIn(const std::string& text);

class OwnFiles {
 public:
  // `named`: files this run writes or reads otherwise (its outputs, the sky
  // mask), each with the words that say why it is left out; always left out.
  explicit OwnFiles(std::vector<LeftOut> named);
  // Why the file at path (in folder, named name) is one of ours; empty when it is a frame.
  std::string why(const std::string& folder, const std::string& name);

 private:
  // Result paths named by the job files and result logs found in a folder, with the file naming each.
  const std::map<std::string, std::string>& earlierOutputs(const std::string& folder);

  std::vector<LeftOut> named_;
  std::map<std::string, std::map<std::string, std::string>> byFolder_;
};

}  // namespace lvcli
