// The SQLite engine behind TDbBackend: the site database of kind "access" as one SQLite file.
// Opening registers what the Access SQL of the system needs (format, now, lcase) and
// makes a one-row "dual" exist; the file is shared between processes (WAL, busy timeout).
// Dates are stored as Julian day numbers (REAL); columns declared DATE, DATETIME or
// TIMESTAMP read back as DateTime values.
#pragma once

#include <memory>
#include <string>

#include "uDbBackend.h"

namespace v7 {

class TSqliteBackend : public TDbBackend {
 public:
  TSqliteBackend();
  ~TSqliteBackend() override;
  TSqliteBackend(const TSqliteBackend&) = delete;
  TSqliteBackend& operator=(const TSqliteBackend&) = delete;

  // How long a statement waits for another process's lock before it fails.
  int BusyTimeoutMs = kLockWaitMs;

  std::string DbKind() const override { return "access"; }
  // Opens (creating when missing) the database file.
  void Open(const std::string& fileName) override;
  void Close() override;
  bool IsOpen() const override;

  long long Execute(const std::string& sql, const TDbParams& params = {}) override;
  long long ExecuteSingle(const std::string& sql, const TDbParams& params = {}) override;
  TDbRowSet Query(const std::string& sql, const TDbParams& params = {}) override;

  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override;
  // Commits are not synced one by one (WAL with synchronous=NORMAL: a power cut can take
  // back the last commits, never corrupt the file); this syncs the log that holds them.
  void MakeDurable() override;

  std::string LastError() const override;

  // Statements prepared so far on this connection (a text with parameters once, while it
  // stays among the recently used).
  int PreparedCount() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace v7
