// Applying one document packet through the document engine. Each of delete, cancel and save
// runs in a transaction of its own, committed only when it ended normally; the sending
// site's number is in force while the packet is applied and this site's afterwards.
#include "uPostDocument.h"

#include <cctype>
#include <cmath>
#include <memory>
#include <pugixml.hpp>
#include <utility>

#include "uAtExit.h"
#include "uDBManager.h"
#include "uDbCall.h"
#include "uDebug.h"
#include "uGeneralFunctions.h"
#include "uStoreData.h"
#include "uXDS.h"
#include "uXmlText.h"

namespace v7 {

namespace {

// A required attribute of the packet's root; a packet without it cannot be applied.
std::string RequiredAttribute(const pugi::xml_node& root, const char* name) {
  const pugi::xml_attribute a = root.attribute(name);
  if (!a) throw EConvertError(std::string("The packet has no \"") + name + "\" attribute");
  return a.value();
}

int ToInteger(const std::string& text) {
  const std::string t = TrimStr(text);
  size_t i = t.size() > 0 && (t[0] == '-' || t[0] == '+') ? 1 : 0;
  bool valid = i < t.size() && t.size() - i <= 9;
  for (; valid && i < t.size(); ++i) valid = std::isdigit(static_cast<unsigned char>(t[i])) != 0;
  if (!valid) throw EConvertError("'" + text + "' is not a valid integer value");
  return std::stoi(t);
}

// A number as the store takes it: whole numbers (record ids) with every digit.
std::string NumberText(long double value) {
  return value == std::floor(value) && std::fabs(value) < 1e18
             ? TDBManager::RecordIdToStr(value)
             : FloatToStr(static_cast<double>(value));
}

class TPacketRun {
 public:
  TPacketRun(const TDocumentPacketTarget& target) : target_(target) {}

  void Trace(const std::string& text) const {
    if (target_.trace) target_.trace->Write(text);
  }
  void Start() { target_.dbManager->StartTransaction(target_.projectName); }
  void Commit() { target_.dbManager->Commit(target_.projectName); }
  // Called on the way out of a failure: a rollback that fails itself must not hide the
  // failure that is being reported.
  void Rollback() {
    try {
      target_.dbManager->Rollback(target_.projectName);
    } catch (const std::exception&) {
    }
  }

  // One operation in a transaction of its own; its failure is the packet's error.
  template <class Operation>
  void InTransaction(Operation operation, std::string& err) {
    try {
      Start();
      operation();
      Commit();
    } catch (const std::exception& e) {
      err = e.what();
      Rollback();
    }
  }

 private:
  const TDocumentPacketTarget& target_;
};

// A facade goes back for the next packet of its type only after a packet that succeeded:
// a failure may have left anything half done in it. A packet whose scripts wrote to the
// database may have changed what any facade read when it was prepared: none is kept.
void KeepPrepared(const TDocumentPacketTarget& target, const std::string& transId,
                  std::unique_ptr<TDbCall>& dbCall, const std::string& err) {
  if (target.preparedCalls && dbCall && dbCall->ScriptsWrote()) {
    target.preparedCalls->clear();
    return;
  }
  if (target.preparedCalls && dbCall && err.empty())
    (*target.preparedCalls)[transId] = std::move(dbCall);
}

// Whether the site database has the table, asked of its catalogue.
bool TablePresent(TDBManager& dbManager, const std::string& table) {
  std::unique_ptr<TXDS> q = dbManager.NewQuery();
  q->GetSQL().SetText(DbKind == "postgre"
                          ? "select count(*) as n from pg_class where relname = '" + table +
                                "' and pg_table_is_visible(oid)"
                          : "select count(*) as n from sqlite_master where name = '" + table + "'");
  q->Open();
  const bool present = q->FieldByName("n").Value != "0";
  q->Close();
  return present;
}

bool SavedDocumentsTablePresent(TDBManager& dbManager) {
  return TablePresent(dbManager, kSavedDocumentsTable);
}

// Called while a statement on kSavedDocumentsTable fails: a database that lacks the table has
// no row of it, and the failure is forgotten; otherwise it is raised again.
void RaiseUnlessTableMissing(TDBManager& dbManager) {
  const std::string siteFailure = TakeSiteFailure();
  bool present = true;
  try {
    present = SavedDocumentsTablePresent(dbManager);
  } catch (const EDatabaseError&) {
  }
  TakeSiteFailure();
  if (!present) return;
  if (!siteFailure.empty()) NoteSiteFailure(siteFailure);
  throw;
}

}  // namespace

// Made here only for sites set up before the site scripts made it. Asked first, so that no
// statement fails on the server for it; on PostgreSQL two clients making it at once would
// collide, so one waits for the other. A table that cannot be made (a role without CREATE on
// the schema) is a failure of the site's set-up, never of a packet: raised as the site's, with
// what the operator is to run.
void EnsureSavedDocumentsTable(TDBManager& dbManager, const std::string& projectName) {
  EnsureClientTable(dbManager, projectName, kSavedDocumentsTable,
                    "packet varchar(600) not null primary key, recordid varchar(30)");
}

bool EnsureClientTable(TDBManager& dbManager, const std::string& projectName,
                       const std::string& table, const std::string& columns) {
  const bool postgre = DbKind == "postgre";
  if (TablePresent(dbManager, table)) return false;
  std::unique_ptr<TXDS> q = dbManager.NewQuery();
  const std::string create = "create table if not exists " + table + " (" + columns + ")";
  try {
    if (!postgre) {
      q->GetSQL().SetText(create);
      q->ExecSQL();
      return true;
    }
    dbManager.StartTransaction(projectName);
    try {
      q->GetSQL().SetText("select pg_advisory_xact_lock(7700701)");
      q->Open();
      q->Close();
      q->GetSQL().SetText(create);
      q->ExecSQL();
      dbManager.Commit(projectName);
    } catch (...) {
      dbManager.Rollback(projectName);
      throw;
    }
  } catch (const EDatabaseError& e) {
    RaiseSiteFailure("The site database has no table " + table + ", and it could not be made (" +
                         e.what() + "): run " +
                         (postgre ? "scripts/site/postgre.sql" : "scripts/site/access.sql") +
                         " on the site database as its owner",
                     create);
  }
  return true;
}

std::string SavedDocumentOf(TDBManager& dbManager, const std::string& packetKey) {
  std::unique_ptr<TXDS> q = dbManager.NewQuery();
  q->GetSQL().SetText(std::string("select recordid from ") + kSavedDocumentsTable +
                      " where packet = :p");
  q->ParamByName("p").SetAsString(packetKey);
  try {
    q->Open();
  } catch (const EDatabaseError&) {
    RaiseUnlessTableMissing(dbManager);
    return "";
  }
  std::string id;
  if (!q->IsEmpty()) {
    id = q->FieldByName("recordid").Value;
    if (id.empty()) id = "?";
  }
  q->Close();
  return id;
}

namespace {

void NoteSaved(TDBManager& dbManager, const std::string& packetKey, long double recordId) {
  std::unique_ptr<TXDS> q = dbManager.NewQuery();
  q->GetSQL().SetText(std::string("insert into ") + kSavedDocumentsTable +
                      " (packet, recordid) values (:p, :r)");
  q->ParamByName("p").SetAsString(packetKey);
  q->ParamByName("r").SetAsString(TStoreData::IdText(recordId));
  q->ExecSQL();
}

}  // namespace

void ForgetSavedDocument(TDBManager& dbManager, const std::string& packetKey) {
  std::unique_ptr<TXDS> q = dbManager.NewQuery();
  q->GetSQL().SetText(std::string("delete from ") + kSavedDocumentsTable + " where packet = :p");
  q->ParamByName("p").SetAsString(packetKey);
  try {
    q->ExecSQL();
  } catch (const EDatabaseError&) {
    RaiseUnlessTableMissing(dbManager);
  }
}

int CountName(const std::vector<std::string>& fieldNames, const std::string& name) {
  int n = 0;
  for (const std::string& f : fieldNames)
    if (f == name) ++n;
  return n;
}

void PostDocumentPacket(const pugi::xml_document& doc, const TDocumentPacketTarget& target,
                        std::string& err) {
  err.clear();
  const int savedSiteNo = SiteNo;
  AtExit restoreSiteNo([savedSiteNo] { SiteNo = savedSiteNo; });
  TPacketRun run(target);
  std::vector<std::string> ownNames;
  std::vector<std::string>& fieldNames = target.fieldNames ? *target.fieldNames : ownNames;
  std::unique_ptr<TDbCall> dbCall;
  try {
    if (!target.dbManager) throw EDatabaseError("No project is open");
    const pugi::xml_node root = doc.document_element();
    UserName = RequiredAttribute(root, "user");
    SiteNo = ToInteger(RequiredAttribute(root, "siteno"));
    const std::string transId = RequiredAttribute(root, "transid");
    // An empty name prepares no type: the facade would hold no definition and no store.
    if (transId.empty()) throw EConvertError("The packet's \"transid\" attribute is empty");

    run.Trace("# 1#Creating dbcall");
    if (target.preparedCalls) {
      // Reading a type's definitions, links and maps is most of a small packet's work: a
      // facade of an earlier packet serves again when nothing it took in has changed.
      auto kept = target.preparedCalls->find(transId);
      if (kept != target.preparedCalls->end()) {
        if (kept->second->DBManager == target.dbManager && kept->second->Renew())
          dbCall = std::move(kept->second);
        target.preparedCalls->erase(kept);
      }
    }
    if (!dbCall) {
      dbCall = std::make_unique<TDbCall>();
      dbCall->DBManager = target.dbManager;
      if (target.trace && target.trace->Enabled()) dbCall->OnTrace = target.trace->TraceProc();
      dbCall->SetTransType(transId);
    }
    if (!dbCall->StructDef || !dbCall->StoreData)
      throw EDatabaseError("Transaction type \"" + transId + "\" could not be prepared");

    const std::string idText = RequiredAttribute(root, "recordid");
    if (TrimStr(idText).empty()) throw EConvertError("'' is not a valid floating point value");
    const long double recordId = StrToRecordId(idText);
    // Record ids are whole numbers; any other would name a row the packet never meant.
    if (recordId != std::floor(recordId))
      throw EConvertError("Invalid record id in packet: \"" + idText + "\"");
    const bool delTrans = std::string(root.attribute("deltrans").value()) == "true";
    bool cancel = false;
    bool inTransaction = false;

    if (recordId != 0) {
      if (delTrans) {
        // Uploads come at least once: a delete that arrives again finds the document gone,
        // which is what it asked for.
        if (!dbCall->RecordExists(recordId)) {
          run.Trace("# 1#Nothing to delete: the document is not stored (deleted already).");
          KeepPrepared(target, transId, dbCall, err);
          return;
        }
        run.Trace("# 1#Deleting data.");
        run.InTransaction([&] { dbCall->Delete(recordId); }, err);
        KeepPrepared(target, transId, dbCall, err);
        return;
      }
      cancel = std::string(root.attribute("cancel").value()) == "true";
      const std::string idField = dbCall->StoreData->PrimaryTable + "id";
      if (dbCall->RecordExists(recordId)) {
        if (cancel) {
          run.Trace("# 1#Cancelling transaction.");
          run.InTransaction([&] { dbCall->Cancel(recordId); }, err);
          KeepPrepared(target, transId, dbCall, err);
          return;
        }
        // Loading validates the document, which runs the type's scripts and expressions:
        // what they write belongs to the packet's one transaction, kept or undone with the
        // save, and steers it under the same guard.
        run.Start();
        inTransaction = true;
        dbCall->LoadRecord(recordId);
      } else {
        // A new document that keeps the id it has at the sending site.
        dbCall->StoreData->AddValueByName(idField, 1, TStoreData::IdText(recordId), "", 0);
      }
    }

    // A new document carries no id of its own by which a second application would find it:
    // the packet itself is recorded with the save.
    const bool noteSaved = recordId == 0 && !target.packetKey.empty();
    if (noteSaved) {
      EnsureSavedDocumentsTable(*target.dbManager, target.projectName);
      const std::string savedAs = SavedDocumentOf(*target.dbManager, target.packetKey);
      if (!savedAs.empty()) {
        if (target.noted) *target.noted = true;
        run.Trace("# 1#Saved before as record " + savedAs + ": not saved again.");
        KeepPrepared(target, transId, dbCall, err);
        return;
      }
    }

    run.Trace("# 1#Submitting data to dcall");
    fieldNames.clear();
    for (pugi::xml_node e = root.first_child(); e; e = e.next_sibling()) {
      if (e.type() != pugi::node_element) continue;
      const std::string name = e.name();
      fieldNames.push_back(name);
      std::string value = XmlElementText(e);
      const int row = CountName(fieldNames, name);
      long double idValue = 0;
      if (const pugi::xml_attribute id = e.attribute("id")) {
        idValue = StrToRecordId(id.value());
        // A numeric field stores the record id itself.
        const TFld* f = dbCall->StructDef->GetField(name);
        if (f && f->type == "n") {
          value = NumberText(idValue);
          idValue = 0;
        }
      }
      run.Trace("# 1#" + name + "[row=" + std::to_string(row) + "]=" + value);
      dbCall->StoreData->AddValueByName(name, row, value, "", idValue);
    }
    fieldNames.clear();

    std::string result;
    if (!inTransaction) run.Start();
    dbCall->Save(result);
    if (!dbCall->ValidationMessage.empty()) {
      run.Rollback();
      err = dbCall->ErrorReportText();
    } else {
      if (noteSaved) NoteSaved(*target.dbManager, target.packetKey, dbCall->SavedRecordId);
      run.Commit();
      if (noteSaved && target.noted) *target.noted = true;
    }

    // A new document that arrives cancelled: saved above, cancelled now, whatever the save
    // gave.
    if (cancel) {
      run.Trace("# 1#Cancelling transaction.");
      run.InTransaction([&] { dbCall->Cancel(recordId); }, err);
    }
    KeepPrepared(target, transId, dbCall, err);
  } catch (const std::exception& e) {
    run.Rollback();
    err = e.what();
    if (dbCall) {
      try {
        dbCall->ErrorReport.push_back(e.what());
        err = dbCall->ErrorReportText();
      } catch (const std::exception&) {
        // The report could not be made: the message alone tells what failed.
      }
    }
  }
}

}  // namespace v7
