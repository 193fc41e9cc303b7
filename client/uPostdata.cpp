// Applying one unpacked packet to the step's open project: the window's state handed to the
// packet reader, table packets to the row writer and document packets to the document
// engine.
#include "uDBManager.h"
#include "uDbCall.h"
#include "uMain.h"
#include "uPacket.h"
#include "uPostDocument.h"

namespace v7 {

void TfmV7Client::Postdata(const std::string& fileName, std::string& err) {
  TPacketTarget target;
  target.NewQuery = [this] {
    if (!dbManager) throw EDatabaseError("No project is open");
    return dbManager->NewQuery();
  };
  if (trace) target.Trace = trace->TraceProc();
  bool document = false;
  target.PostDocument = [this, &document](const pugi::xml_document& doc, std::string& docErr) {
    document = true;
    TDocumentPacketTarget documentTarget;
    documentTarget.dbManager = dbManager.get();
    documentTarget.projectName = project ? project->Name : "";
    documentTarget.trace = trace.get();
    documentTarget.fieldNames = &fieldNames;
    documentTarget.preparedCalls = &preparedCalls;
    PostDocumentPacket(doc, documentTarget, docErr);
  };
  v7::Postdata(fileName, target, err);
  if (!document) preparedCalls.clear();
}

}  // namespace v7
