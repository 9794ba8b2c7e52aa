// Every kind of job the add-on runs, in one table: how a job file is
// recognised, what the background launcher waits for and announces, which
// runner runs it and where its own files are. Dispatch, the background
// launcher and the asynchronous echo all read it; a new job is one row.
#pragma once

#include "addon/dispatch.h"
#include "plumbing/plumbing.h"

#include <string>
#include <vector>

// The files a job reports to, as the job itself reads them from its job file.
struct NLJobFiles {
  std::string progress;
  std::string resultLog;
  NLJobPaths paths;  // what the job reads and writes: a report never lands on an input or a result
};

struct NLJobKindRow {
  NLJobKind kind;
  const char* label;                          // "Star Trail": failure texts of the background launcher
  const char* pathMarker;                     // in the job file's path; null for the fallback row
  std::vector<const char*> contentMarkers;    // else any of these in the file's text, in this order
  int handshakeAttempts;                      // background: read the file up to this often (50 ms apart)
  std::vector<const char*> handshakeMarkers;  // until all of these are in it; only for a path-named job
  const char* startedDetail;                  // background start-up progress detail; null: no announcement
  std::string (*run)(const std::string& jobPath);
  NLJobFiles (*files)(const std::string& jobPath);
};

// The rows in detection order; the last one (the hybrid stack job) takes
// every job file no earlier row recognises.
const std::vector<NLJobKindRow>& NL_jobKinds();
const NLJobKindRow& NL_jobKindRow(NLJobKind kind);
// The row's path marker is in the path, else one of its content markers in the file.
bool NL_jobFileIsOfKind(const NLJobKindRow& row, const std::string& path);
// The reports of the job a file routes to, read as that job reads its file;
// empty paths when the file cannot be read or names none. Never throws: the
// lumivex program follows these while the job runs.
NLJobFiles NL_jobFilesFor(const std::string& jobPath);
