// The project registry: the database projects one connection manager has opened, each
// with its settings from "Dbconnections.ini" beside the executable, its connection and the
// connection number and record-id counter it was given.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace v7 {

class TDbBackend;

// One project. Made and disposed by TPConnect only.
struct TProjectRecord {
  std::string Name;     // as passed to AddProject (the manager passes it trimmed, lower case)
  // oracle: the user name; access: the database file without ".mdb"; postgre: the user
  std::string Project;
  std::string DbType;   // "access", "oracle", "mysql" or "postgre": the SQL dialect
  std::string Driver;   // access layer: "ado", "dbx" or "bde"
  // oracle: the service name; postgre: the database, a connection string or a URI
  std::string DbName;
  int ConnectNo = -1;   // from CONNECTINFO; -1 until taken
  int SiteNo = 0;       // from CONTROL
  long double LastNumber = 0;  // running counter of this connection's record ids
  // The counter that the number's row holds as this client last wrote it; -1 when unknown.
  // Another client that took the number over has changed it.
  long double SavedNumber = -1;
  // LastNumber and SavedNumber as they stood when the open transaction began, while
  // CounterKept: the counter's row goes back to them when the transaction does not commit,
  // and so must the record, or the next save would find the row changed under it.
  long double LastNumberAtStart = 0;
  long double SavedNumberAtStart = -1;
  bool CounterKept = false;
  // The open database, made by the connection manager when it connects. Shared with the
  // query objects that run on it, so that none outlives the connection it uses.
  std::shared_ptr<TDbBackend> Connection;
};

class TPConnect {
 public:
  TPConnect() = default;
  TPConnect(const TPConnect&) = delete;
  TPConnect& operator=(const TPConnect&) = delete;

  // The record whose Name equals the name trimmed and lower-cased (the first such, in the
  // order added) with its index; nullptr and -1 when there is none.
  TProjectRecord* FindProject(const std::string& name, int& index) const;
  TProjectRecord* FindProject(const std::string& name) const;
  // Makes the project Current, reading its section of "Dbconnections.ini" the first time.
  // An access layer other than "ado", "dbx" or "bde" sets ErrorText to "Improper Driver".
  TProjectRecord* AddProject(const std::string& name);
  // Disposes of the project's record; its connection must have been dropped already.
  // An unknown name does nothing.
  void RemoveProject(const std::string& name);

  TProjectRecord* Current = nullptr;                     // the record found or added last
  std::vector<std::unique_ptr<TProjectRecord>> Records;  // in the order added
  std::string ErrorText;
};

}  // namespace v7
