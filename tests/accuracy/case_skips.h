// Table tests whose cases need files that may be missing (the shared VC-1 samples, say):
// a case without its file is passed over alone, the others still run, and the test is
// reported skipped at its end, naming what was missing.
#pragma once

#include <unistd.h>

#include <string>

class CaseSkips {
 public:
  // True, and noted, when `path` cannot be read: the caller passes over its case.
  bool Missing(const std::string& path) {
    if (access(path.c_str(), R_OK) == 0) return false;
    missing_ += (missing_.empty() ? "" : ", ") + path;
    return true;
  }
  bool Any() const { return !missing_.empty(); }
  const std::string& Files() const { return missing_; }

 private:
  std::string missing_;
};

// At the end of a table test: skipped when a case was passed over.
#define SKIP_IF_CASES_MISSED(skips) \
  if (!(skips).Any()) {                \
  } else                               \
    GTEST_SKIP() << "files missing, their cases not run: " << (skips).Files()
