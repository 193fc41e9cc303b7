// The project registry (see uConnect.h).
#include "uConnect.h"

#include "uGeneralFunctions.h"
#include "uIniFile.h"

namespace v7 {

namespace {
const char kProjectFile[] = "Dbconnections.ini";
}

TProjectRecord* TPConnect::FindProject(const std::string& name, int& index) const {
  std::string wanted = LowerStr(TrimStr(name));
  for (size_t i = 0; i < Records.size(); ++i) {
    if (Records[i]->Name == wanted) {
      index = static_cast<int>(i);
      return Records[i].get();
    }
  }
  index = -1;
  return nullptr;
}

TProjectRecord* TPConnect::FindProject(const std::string& name) const {
  int index;
  return FindProject(name, index);
}

TProjectRecord* TPConnect::AddProject(const std::string& name) {
  Current = FindProject(name);
  if (Current) return Current;
  auto record = std::make_unique<TProjectRecord>();
  record->Name = name;
  // One reading of the file, so the four values come from the same version of it.
  TIniFile ini = TIniFile::Load(AppFolder() + kProjectFile);
  record->DbType = LowerStr(ini.ReadString(name, "DbType"));
  record->Project = ini.ReadString(name, "Project");
  record->DbName = ini.ReadString(name, "DbName");
  // A PostgreSQL user, database name or connection string (with its password) is case
  // sensitive and is used as written; the other kinds take their names in lower case.
  if (record->DbType != "postgre") {
    record->Project = LowerStr(record->Project);
    record->DbName = LowerStr(record->DbName);
  }
  record->Driver = LowerStr(ini.ReadString(name, "Driver"));
  record->ConnectNo = -1;
  // The connection itself is made by the manager when it connects; here only the access
  // layer is checked.
  if (record->Driver != "dbx" && record->Driver != "bde" && record->Driver != "ado") {
    ErrorText = "Improper Driver";
  }
  Records.push_back(std::move(record));
  Current = Records.back().get();
  return Current;
}

void TPConnect::RemoveProject(const std::string& name) {
  int index;
  TProjectRecord* record = FindProject(name, index);
  if (!record) return;
  if (Current == record) Current = nullptr;
  Records.erase(Records.begin() + index);
}

}  // namespace v7
