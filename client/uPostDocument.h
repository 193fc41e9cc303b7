// Applying one document packet to the open project through the document engine: delete,
// cancel, or load, fill and save the document under the sending site's number and user,
// each in its own transaction, committed or rolled back by the outcome.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "uGeneralFunctions.h"

namespace pugi {
class xml_document;
}

namespace v7 {

class TDBManager;
class TDoDebug;
class TDbCall;

// Document facades that earlier packets of the running step prepared, by transaction type,
// kept for the next packet of the same type on the same connection.
using TPreparedCalls = std::map<std::string, std::unique_ptr<TDbCall>>;

// What the window gives the document step: its open project and trace writer, and its list
// of element names seen so far (the window's fieldNames).
struct TDocumentPacketTarget {
  TDBManager* dbManager = nullptr;                 // not owned
  std::string projectName;                         // the transaction's project name
  TDoDebug* trace = nullptr;                       // not owned; may be null
  std::vector<std::string>* fieldNames = nullptr;  // not owned
  // Not owned; may be null (every packet then prepares its type anew). A facade is taken
  // from here when its type comes again and put back after a packet that succeeded.
  TPreparedCalls* preparedCalls = nullptr;
  // The packet's "<md5> <name>", empty for none. A new document (recordid 0) that it saves
  // is recorded under it in kSavedDocumentsTable, in the save's own transaction; a packet
  // found there is not saved again. Then *noted (when set) becomes true: the row is to be
  // forgotten once the packet is recorded as handled.
  std::string packetKey;
  bool* noted = nullptr;  // not owned
};

// A new document saved by a packet, by the packet: a client stopped after the save's commit
// and before it recorded the packet as handled would otherwise save it again. A row lives
// only from that commit until the packet is recorded as handled.
inline constexpr char kSavedDocumentsTable[] = "v7applied";

// Makes kSavedDocumentsTable where the site database lacks it. Raises a failure of the site
// (EDatabaseUnavailable, noted for TakeSiteFailure) naming the site script to run when it
// cannot be made.
void EnsureSavedDocumentsTable(TDBManager& dbManager, const std::string& projectName);
// The same for any table of the client's own, made with columns (its SQL column list); true
// when this call made it.
bool EnsureClientTable(TDBManager& dbManager, const std::string& projectName,
                       const std::string& table, const std::string& columns);

// The record id under which the packet of packetKey saved its new document ("?" when the row
// names none), empty when it saved none. Raises EDatabaseError.
std::string SavedDocumentOf(TDBManager& dbManager, const std::string& packetKey);

// Removes the row of packetKey from kSavedDocumentsTable, once the packet is recorded as
// handled and before it may leave the server: the same packet sent again on purpose later is
// new. Raises EDatabaseError when a row may still stand (a database that never had the table
// has none).
void ForgetSavedDocument(TDBManager& dbManager, const std::string& packetKey);

// Applies a parsed document packet (a root without a `table` attribute). `err` empty means
// applied. Never raises. SiteNo is restored on every way out; the process-wide user name
// stays the packet's user.
void PostDocumentPacket(const pugi::xml_document& doc, const TDocumentPacketTarget& target,
                        std::string& err);

// The number of entries of fieldNames equal to name (exact, case-sensitive).
int CountName(const std::vector<std::string>& fieldNames, const std::string& name);

}  // namespace v7
