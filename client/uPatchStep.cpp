// The patch step of the cycle: this site's SQL patch files downloaded, run block by block and
// removed from the server, each run once.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "uApplyRecord.h"
#include "uAtExit.h"
#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uMD5.h"
#include "uMain.h"
#include "uPacket.h"
#include "uPostDocument.h"
#include "uTextEncoding.h"
#include "uTransfer.h"
#include "uXDS.h"
#include "uZStream.h"

namespace v7 {

namespace fs = std::filesystem;

void TfmV7Client::ReceivePatches() {
  ShowMsg("Receiving patches");
  // No step leaves a connection open; the patch step opens one per file it runs.
  dbManager.reset();
  std::vector<std::string> names;
  std::unique_ptr<TXDS> query;
  try {
    siteText = TwoDigits(std::to_string(SiteNo));
    std::string remoteFolder = "v7/patches/";
    const std::string localFolder = kTransitFolder;
    CreateWorkFolders();
    if (!ftp->Connected()) ftp->Connect();
    names = ftp->NameList(remoteFolder + siteText + ".*");
    // A patch's line stays in the records of patches only while the patch may still stand on
    // the server: once the server says it has no such file, a patch sent again under that
    // name is new. Only this site's patches are listed, so only their lines are judged, and
    // one that the listing leaves out is asked of the server by its name.
    const auto gone = [&](const std::string& line) {
      const std::string name = FieldsAfter(line, 1);
      return name.starts_with(siteText + ".") &&
             std::find(names.begin(), names.end(), remoteFolder + name) == names.end() &&
             GoneFromServer(remoteFolder + name);
    };
    TLineRecord(kRunPatchesFile).RemoveIf(gone);
    TLineRecord(kSeenPatchesFile).RemoveIf(gone);
    for (const std::string& entry : names) {
      ShowMsg("Downloading " + entry);
      std::string name;
      SplitPath(entry, remoteFolder, name);
      const std::string localFile = localFolder + name;
      ftp->Get(remoteFolder + name, localFile);
      if (!fs::exists(localFile)) continue;
      // A patch that ran to its end but may still stand on the server (the client stopped,
      // the server refused the delete) is removed next time instead of running twice.
      const std::string runLine = Digest(localFile) + " " + name;
      TLineRecord run(kRunPatchesFile);
      if (run.Contains(runLine)) {
        ShowMsg("Patch " + name + " ran to its end before: removed without running it again");
        RemoveQuietly(localFile);
        RemoveFromServer(entry);
        run.Remove(runLine);
        continue;
      }
      // A patch that the office uploads under its own name stands there cut until its upload
      // ends: it runs only once a step finds the bytes that the step before found.
      TLineRecord seen(kSeenPatchesFile);
      if (!seen.Contains(runLine)) {
        seen.RemoveIf([&](const std::string& line) { return FieldsAfter(line, 1) == name; });
        seen.Add(runLine);
        ShowMsg("Patch " + name +
                " is new or has changed since the last cycle: it runs when the next cycle finds "
                "it unchanged");
        RemoveQuietly(localFile);
        continue;
      }
      if (dbManager) CloseConnection();
      std::string err;
      ConnectProject(clientLogin, err);
      RaiseOnError(err);
      const std::vector<std::string> lines = ReadLines(localFile);
      // The buffer is emptied only by "<<": a ">>" runs everything gathered since then.
      std::string statement;
      query = dbManager->NewQuery();
      for (const std::string& line : lines) {
        if (line == "<<") {
          statement.clear();
        } else if (line == ">>") {
          DoTrace("# 1#" + statement);
          query->GetSQL().SetText(statement);
          try {
            query->ExecSQL();
          } catch (const std::exception& blockError) {
            throw EDatabaseError("Patch " + name + ": " + blockError.what());
          }
        } else {
          statement += line + "\r\n";
        }
      }
      query.reset();
      run.Add(runLine);
      seen.Remove(runLine);
      RemoveQuietly(localFile);
      RemoveFromServer(entry);
      run.Remove(runLine);
    }
    names.clear();
    if (dbManager) CloseConnection();
  } catch (const std::exception& e) {
    StepFailed(e);
    names.clear();
    query.reset();
    if (dbManager) CloseConnection();
    ftp->Disconnect();
  }
  ShowMsg("Completed");
}

}  // namespace v7
