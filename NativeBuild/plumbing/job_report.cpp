// One job's reports: where its progress and result log go, and how an
// exception becomes the job's failure.
#include "plumbing/plumbing.h"

#include <exception>
#include <stdexcept>
#include <utility>

NLJobReport::NLJobReport(std::string progressPath, std::string resultLog, NLJobPaths paths)
    : progress_(std::move(progressPath)), log_(std::move(resultLog)), paths_(std::move(paths)) {}

void NLJobReport::progress(int percent, const std::string& stage, const std::string& detail) const {
  NL_writeProgressFile(progress_, percent, stage, detail);
}

std::string NLJobReport::finish(const std::string& log) const {
  NL_writeTextFile(log_, log);
  return log;
}

void NLJobReport::failed(const std::string& detail) const { progress(100, "Failed", detail); }

void NLJobReport::failedIfSafe(const std::string& detail) const {
  if (NL_isSafeReportPath(progress_, paths_)) failed(detail);
}

void NLJobReport::finishIfSafe(const std::string& log) const {
  if (NL_isSafeReportPath(log_, paths_)) finish(log);
}

std::string NLJobReport::refuse(const std::string& detail, const std::string& log) const {
  failedIfSafe(detail);
  finishIfSafe(log);
  return log;
}

void NLJobReport::dropUnsafePaths() {
  if (!NL_isSafeReportPath(progress_, paths_)) progress_.clear();
  if (!NL_isSafeReportPath(log_, paths_)) log_.clear();
}

std::string NL_runJobGuarded(NLJobExceptions contract, const std::function<std::string()>& body,
                             const std::function<std::string(const std::string&)>& onFailure,
                             const std::string& unknownText) {
  std::string why = unknownText;
  try {
    return body();
  } catch (...) {
    const std::exception_ptr error = std::current_exception();
    try {
      std::rethrow_exception(error);
    } catch (const std::exception& e) {
      why = e.what();
    } catch (...) {
    }
    if (contract == NLJobExceptions::Rethrow) {
      onFailure(why);
      std::rethrow_exception(error);
    }
  }
  return onFailure(why);
}

void NL_failJob(const std::string& text) { throw std::runtime_error(text); }

bool NL_failStep(std::string& out, const std::string& text, const std::string& prefix) {
  out = prefix + text;
  return false;
}
