// The patch step of the cycle: this site's SQL patch files downloaded, run block by block and
// removed from the server, each run once.
#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uTransfer.h"
#include "uXDS.h"

namespace v7 {

namespace fs = std::filesystem;

// The state of one patch step that each patch's turn reads and adds to.
struct TPatchStep {
  std::string folder = "v7/patches/";
  std::string mask;                    // this site's patches: folder + "NN.*"
  TLineRecord run{kRunPatchesFile};    // patches begun, and patches that ran to their end
  TLineRecord seen{kSeenPatchesFile};  // the bytes each patch had at the step before
};

namespace {

// The line of the record of runs that says a patch began and was not seen to end.
std::string RunningLine(const std::string& key) { return kPatchRunningMark + key; }

// The name of the patch that a line of the records of patches is about.
std::string PatchOfLine(const std::string& line) {
  return FieldsAfter(line, line.starts_with(kPatchRunningMark) ? 2 : 1);
}

// Best effort, once what the line is about is over: a line that cannot be removed (a full
// disk) stays until a step finds its file gone.
void ForgetLine(TLineRecord& record, const std::string& line) {
  try {
    record.Remove(line);
  } catch (const std::exception&) {
  }
}

}  // namespace

void TfmV7Client::ReceivePatches() {
  ShowMsg("Receiving patches");
  // No step leaves a connection open; the patch step opens one per file it runs.
  dbManager.reset();
  try {
    CreateWorkFolders();
    if (!ftp->Connected()) ftp->Connect();
    // Which patches are this site's is the project's to say: its number is read before
    // anything is listed, whichever steps ran before this one (none, for a client that only
    // receives patches).
    std::string err;
    ConnectProject(clientLogin, err);
    RaiseOnError(err);
    siteText = TwoDigits(std::to_string(SiteNo));
    CloseConnection();
    TPatchStep step;
    step.mask = step.folder + siteText + ".*";
    const std::vector<std::string> names = ftp->NameList(step.mask);
    // A patch's lines stay in the records of patches only while the patch may still stand on
    // the server: once the server says it has no such file, a patch sent again under that
    // name is new. Only this site's patches are listed, so only their lines are judged, and
    // one that the listing leaves out is asked of the server by its name.
    std::map<std::string, bool> asked;
    const auto gone = [&](const std::string& line) {
      const std::string name = PatchOfLine(line);
      const std::string entry = step.folder + name;
      if (!name.starts_with(siteText + ".") ||
          std::find(names.begin(), names.end(), entry) != names.end())
        return false;
      const auto known = asked.find(entry);
      if (known != asked.end()) return known->second;
      return asked[entry] = GoneFromServer(entry);
    };
    step.run.RemoveIf(gone);
    step.seen.RemoveIf(gone);
    // Each patch is its own: a refusal of the server about one patch passes it over until
    // the next cycle and the step goes on; only a lost connection (or the site's own failure)
    // ends it.
    for (const std::string& entry : names) {
      try {
        ReceivePatch(entry, step);
      } catch (const EFtpError& e) {
        if (!e.Refused) throw;
        StepFailed(e);
      }
    }
    if (dbManager) CloseConnection();
  } catch (const std::exception& e) {
    StepFailed(e);
    if (dbManager) CloseConnection();
    ftp->Disconnect();
  }
  ShowMsg("Completed");
}

void TfmV7Client::ReceivePatch(const std::string& entry, TPatchStep& step) {
  ShowMsg("Downloading " + entry);
  std::string folder = step.folder, name;
  SplitPath(entry, folder, name);
  const std::string patch = "Patch " + name;
  const std::string localFile = kTransitFolder + name;
  RemoveQuietly(localFile);  // a link planted there would be written through
  try {
    ftp->Get(folder + name, localFile);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    StepFailed(patch + " could not be downloaded (" + e.Detail + "): it is tried again next cycle");
    return;
  }
  if (!fs::exists(localFile)) return;
  const std::string key = Digest(localFile) + " " + name;

  // A patch that ran to its end but may still stand on the server (the client stopped, the
  // server refused the delete) is removed instead of running twice.
  if (step.run.Contains(key) || patchesRanUnsaved.contains(key)) {
    ShowMsg(patch + " ran to its end before: removed without running it again");
    RemoveQuietly(localFile);
    RemoveRanPatch(entry, key, step, false);
    return;
  }
  // What the site cannot record leaves the patch unrun: it stays on the server.
  const auto notRun = [&](const char* record, const std::exception& cause) {
    RemoveQuietly(localFile);
    return std::runtime_error(patch + " was not run, as " + record + " cannot be written (" +
                              cause.what() + "): it stays on the server for the next cycle");
  };
  // A patch that the office uploads under its own name stands there cut until its upload
  // ends: it runs only once a step finds the bytes that the step before found.
  if (!step.seen.Contains(key)) {
    try {
      step.seen.RemoveIf([&](const std::string& line) { return FieldsAfter(line, 1) == name; });
      step.seen.Add(key);
    } catch (const std::exception& e) {
      throw notRun(kSeenPatchesFile, e);
    }
    ShowMsg(patch +
            " is new or has changed since the last cycle: it runs when the next cycle finds "
            "it unchanged");
    RemoveQuietly(localFile);
    return;
  }

  if (dbManager) CloseConnection();
  std::string err;
  ConnectProject(clientLogin, err);
  RaiseOnError(err);
  const std::vector<std::string> lines = ReadLines(localFile);

  // That the patch runs is written before its first block: a patch runs only while the
  // record of its run can be written, and a stop in the middle is known afterwards. A patch
  // that began and was not seen to end runs again from its first block, as one whose block
  // failed does: which of its blocks took effect cannot be told.
  const std::string running = RunningLine(key);
  if (step.run.Contains(running))
    ShowMsg(patch +
            " began in an earlier cycle and was not seen to end: it runs again from "
            "its first block");
  try {
    // Written anew each time, so that the write itself shows the record can be kept.
    step.run.Remove(running);
    step.run.Add(running);
  } catch (const std::exception& e) {
    throw notRun(kRunPatchesFile, e);
  }

  // The buffer is emptied only by "<<": a ">>" runs everything gathered since then.
  std::string statement;
  std::unique_ptr<TXDS> query = dbManager->NewQuery();
  for (const std::string& line : lines) {
    if (line == "<<") {
      statement.clear();
    } else if (line == ">>") {
      DoTrace("# 1#" + statement);
      query->GetSQL().SetText(statement);
      try {
        query->ExecSQL();
      } catch (const std::exception& blockError) {
        // The run ended: the patch stays, to run again from its first block.
        ForgetLine(step.run, running);
        throw EDatabaseError(patch + ": " + blockError.what());
      }
    } else {
      statement += line + "\r\n";
    }
  }
  query.reset();
  RemoveQuietly(localFile);

  std::string unrecorded;
  try {
    step.run.Add(key);
  } catch (const std::exception& e) {
    unrecorded = e.what();
  }
  if (unrecorded.empty()) {
    // The end is written: the line of its beginning has said what it had to.
    ForgetLine(step.run, running);
    ForgetLine(step.seen, key);
    ShowMsg(patch + " ran to its end");
    RemoveRanPatch(entry, key, step, true);
    return;
  }
  // The disk filled up while the patch ran (or the record is blocked): it is not run again
  // while this client runs, and it leaves the server all the same where it can.
  patchesRanUnsaved.insert(key);
  const std::string cause = patch + " ran to its end, but that could not be recorded in " +
                            kRunPatchesFile + " (" + unrecorded + ")";
  const std::string stays = cause +
                            " and it stays on the server: it is not run again while this client "
                            "runs; make the record writable, or remove the patch from the server";
  TPatchRemoval removal = TPatchRemoval::Stays;
  try {
    removal = RemoveRanPatch(entry, key, step, true);
  } catch (const std::exception&) {
    StepFailed(stays);
    throw;
  }
  switch (removal) {
    case TPatchRemoval::Gone:
      StepFailed(cause + "; it has left the server");
      return;
    case TPatchRemoval::Replaced:
      StepFailed(cause + "; the copy that ran is no longer on the server");
      return;
    case TPatchRemoval::Stays:
      break;
  }
  StepFailed(stays);
}

// Only the bytes that ran leave the server: the office may have put corrected bytes there
// under the same name meanwhile (checked unless the bytes were downloaded just now). The
// patch's line in the record of runs goes once the server's own answers agree that the file
// is gone, as RemoveFromServer and GoneFromServer ask them.
TPatchRemoval TfmV7Client::RemoveRanPatch(const std::string& entry, const std::string& key,
                                          TPatchStep& step, bool checkBytes) {
  const std::string name = FieldsAfter(key, 1);
  const std::string patch = "Patch " + name;
  const auto forget = [&] {
    ForgetLine(step.run, key);
    ForgetLine(step.run, RunningLine(key));
    patchesRanUnsaved.erase(key);
  };
  if (checkBytes) {
    const std::string localFile = kTransitFolder + name;
    RemoveQuietly(localFile);
    try {
      ftp->Get(entry, localFile);
    } catch (const EFtpError& e) {
      if (!e.Refused) throw;
      if (GoneFromServer(entry)) {  // removed by another client of the site, or by hand
        forget();
        return TPatchRemoval::Gone;
      }
      StepFailed(patch + " could not be read back before its removal from the server (" + e.Detail +
                 "): it is not run again, and its removal is tried again next cycle");
      return TPatchRemoval::Stays;
    }
    const std::string now = Digest(localFile) + " " + name;
    RemoveQuietly(localFile);
    if (now != key) {
      forget();
      ShowMsg(patch +
              " was replaced on the server while it ran: the new copy stays there, "
              "and runs as a new patch");
      return TPatchRemoval::Replaced;
    }
  }
  try {
    RemoveFromServer(entry);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    StepFailed(patch + " could not be removed from the server (" + e.Detail +
               "): it is not run again, and its removal is tried again next cycle");
    return TPatchRemoval::Stays;
  }
  forget();
  return TPatchRemoval::Gone;
}

}  // namespace v7
