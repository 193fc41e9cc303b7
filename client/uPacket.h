// Reading an unpacked packet file: telling table packets from document packets, and
// applying table packets row by row through the query object's row buffer.
#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "uGeneralFunctions.h"

namespace pugi {
class xml_document;
}

namespace v7 {

class TXDS;

// What applying a packet needs of its caller: the open project and the trace.
struct TPacketTarget {
  // A new query object on the open project.
  std::function<std::unique_ptr<TXDS>()> NewQuery;
  TTraceProc Trace;
  // Applies a document packet (a root without a `table` attribute); `err` empty means
  // applied. Unset: document packets are refused with kNoDocumentEngine.
  std::function<void(const pugi::xml_document& doc, std::string& err)> PostDocument;
};

// The site, not the packet, failed while a sound packet was applied: the database or the
// disk could not do what it asked (no space, a file size limit, an I/O error, a database
// locked or gone, a lost connection). The packet is to be applied again once the site is
// mended; the message names the cause.
class ESiteFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

inline constexpr char kNoDocumentEngine[] =
    "Document packets cannot be applied: no document engine is installed";

// Applies one unpacked packet file. `err` is empty when the packet was applied (or held
// nothing to apply), else the message of the failure. Raises nothing but ESiteFailure, when
// the failure was the site's (its transaction rolled back; the rows a table packet wrote
// before it stay, and are written again when it is applied again).
void Postdata(const std::string& fileName, const TPacketTarget& target, std::string& err);

// Applies the table packet in doc. `err` is the message of the first failure: the rows
// before it stay written, the rest are skipped. A packet whose table or column names are not
// identifiers, or whose record ids are not numbers, is refused before any row is written.
void PostTableData(const pugi::xml_document& doc, const TPacketTarget& target, std::string& err);

// Letters, digits and "_", at least one character.
bool IsPacketIdentifier(const std::string& name);
// A decimal number as record ids are written: an optional "-", digits, optionally "." and
// more digits, optionally an exponent ("E+15").
bool IsPacketNumber(const std::string& text);

}  // namespace v7
