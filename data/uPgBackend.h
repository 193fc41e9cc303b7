// The PostgreSQL engine behind TDbBackend: the site database of kind "postgre" on a server,
// through libpq. Statements keep the system's ":name" parameters; opening sets the session
// up (ISO dates out, day-first dates in) and makes sure the compatibility objects that the
// "postgre" dialect needs exist (the format() date template, day arithmetic, "dual").
#pragma once

#include <memory>
#include <string>

#include "uDbBackend.h"

namespace v7 {

class TPgBackend : public TDbBackend {
 public:
  TPgBackend();
  ~TPgBackend() override;
  TPgBackend(const TPgBackend&) = delete;
  TPgBackend& operator=(const TPgBackend&) = delete;

  std::string DbKind() const override { return "postgre"; }
  // Opens a libpq connection string or URI; what it leaves out comes from libpq's
  // environment (PGHOST, PGPORT, PGPASSWORD, the password file).
  void Open(const std::string& connectionString) override;
  void Close() override;
  bool IsOpen() const override;

  long long Execute(const std::string& sql, const TDbParams& params = {}) override;
  long long ExecuteSingle(const std::string& sql, const TDbParams& params = {}) override;
  TDbRowSet Query(const std::string& sql, const TDbParams& params = {}) override;

  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override;

  std::string LastError() const override;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The connection string of a "postgre" project: its user and its database name (a whole
// connection string or URI in the database name is taken as it is).
std::string PgConnectionString(const std::string& user, const std::string& dbName);

// A project's database name as it may be shown (trace, message pane): a plain name as it
// is; a connection string or URI as the settings libpq reads from it, each password masked.
std::string PgShownConnectionString(const std::string& dbName);

// data/pg_compat.sql, built into the program, and the version its v7_compat_version()
// answers (generated from the file by the build).
extern const char* const kPgCompatScript;
extern const int kPgCompatVersion;

// The compatibility objects' script that opening applies where they are missing.
const std::string& PgCompatScript();

}  // namespace v7
