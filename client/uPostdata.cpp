// Applying one unpacked packet to the step's open project: the window's state handed to the
// packet reader, table packets to the row writer and document packets to the document
// engine.
#include "uDBManager.h"
#include "uDbCall.h"
#include "uDebug.h"
#include "uMain.h"
#include "uPacket.h"
#include "uPacketTrace.h"
#include "uPostDocument.h"

namespace v7 {

bool TfmV7Client::Postdata(const std::string& fileName, std::string& err,
                           const std::string& packetKey) {
  // What the trace gains from here on is this packet's, kept beside it should it fail.
  if (TracingToFile()) NotePacketRunStart(trace->FileName(), fileName);
  bool noted = false;
  TPacketTarget target;
  target.NewQuery = [this] {
    if (!dbManager) throw EDatabaseError("No project is open");
    return dbManager->NewQuery();
  };
  if (trace) target.Trace = trace->TraceProc();
  bool document = false;
  target.PostDocument = [this, &document, &packetKey, &noted](const pugi::xml_document& doc,
                                                              std::string& docErr) {
    document = true;
    TDocumentPacketTarget documentTarget;
    documentTarget.dbManager = dbManager.get();
    documentTarget.projectName = project ? project->Name : "";
    documentTarget.trace = trace.get();
    documentTarget.fieldNames = &fieldNames;
    documentTarget.preparedCalls = &preparedCalls;
    documentTarget.packetKey = packetKey;
    documentTarget.noted = &noted;
    PostDocumentPacket(doc, documentTarget, docErr);
  };
  try {
    v7::Postdata(fileName, target, err);
  } catch (const ESiteFailure&) {
    preparedCalls.clear();  // a facade may hold readings of a connection that is gone
    throw;
  }
  if (!document) preparedCalls.clear();
  return noted;
}

}  // namespace v7
