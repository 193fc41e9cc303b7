// Applying one unpacked packet to the step's open project: the window's state handed to the
// packet reader. Document packets need the document engine; until it is linked in they are
// refused with a clear error (and so kept in the log folder).
#include "uDBManager.h"
#include "uMain.h"
#include "uPacket.h"

namespace v7 {

void TfmV7Client::Postdata(const std::string& fileName, std::string& err) {
  TPacketTarget target;
  target.NewQuery = [this] {
    if (!dbManager) throw EDatabaseError("No project is open");
    return dbManager->NewQuery();
  };
  if (trace) target.Trace = trace->TraceProc();
  v7::Postdata(fileName, target, err);
}

}  // namespace v7
