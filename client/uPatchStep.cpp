// The patch step of the cycle: this site's SQL patch files downloaded, run block by block and
// removed from the server, each run once.
#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>

#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uSqlTokens.h"
#include "uTextEncoding.h"
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
  // The first patch of this step that waits for a later cycle (new, or changed since the
  // last): the patches after it may build on it, and wait behind it.
  std::string waitingPatch;
};

namespace {

// The line of the record of runs that says a patch began and was not seen to end.
std::string RunningLine(const std::string& key) { return kPatchRunningMark + key; }

// The name of the patch that a line of the records of patches is about.
std::string PatchOfLine(const std::string& line) {
  return FieldsAfter(line, line.starts_with(kPatchRunningMark) ? 2 : 1);
}

// A line that starts or runs a block: "<<" or ">>", with the blanks that editors leave around
// it. No statement is such a line.
bool IsMarker(const std::string& line, const char* marker) {
  const size_t first = line.find_first_not_of(" \t");
  const size_t last = line.find_last_not_of(" \t");
  return first != std::string::npos && line.compare(first, last + 1 - first, marker) == 0;
}

// Whether a block's text holds anything the database would run: blanks, comments and ";"
// alone run nothing.
bool HoldsStatement(const std::string& text, TSqlDialect dialect) {
  for (const TSqlToken& token : SqlTokens(text, dialect))
    if (token.Kind != 'p' || token.Text != ";") return true;
  return false;
}

// Why the patch's lines hold nothing that would run whole, empty when they do: a patch
// without a block ("<<", its statement, ">>"), or whose blocks hold no statement, would be
// taken for run, and lines after the last ">>" would be dropped unrun while the rest ran.
std::string UnrunnableLines(const std::vector<std::string>& lines, TSqlDialect dialect) {
  size_t lastRun = lines.size();
  bool statement = false;
  std::string buffer;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (IsMarker(lines[i], "<<")) {
      buffer.clear();
    } else if (IsMarker(lines[i], ">>")) {
      lastRun = i;
      statement = statement || HoldsStatement(buffer, dialect);
    } else {
      buffer += lines[i] + "\n";
    }
  }
  if (lastRun == lines.size())
    return "it holds no block to run (a line \"<<\", the statement's lines, a line \">>\")";
  if (!statement) return "its blocks hold no statement, only blanks or comments";
  for (size_t i = lastRun + 1; i < lines.size(); ++i)
    if (!IsMarker(lines[i], "<<") && lines[i].find_first_not_of(" \t") != std::string::npos)
      return "its line " + std::to_string(i + 1) +
             " comes after its last \">>\", and no \">>\" runs it";
  return "";
}

// A listed patch's name: the entry less the patches' folder, whole (a "\" in it is part of
// the name, not a folder's end).
std::string PatchName(const std::string& entry, const TPatchStep& step) {
  return entry.substr(std::min(entry.size(), step.folder.size()));
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
    std::string cut;
    const std::vector<std::string> names = ftp->NameList(step.mask, &cut);
    if (!cut.empty())
      StepFailed("The FTP server cut its listing of " + step.folder + " (" + cut +
                 "): the patches it left out wait until those listed have left the server; "
                 "raise the server's limit on the names a listing may hold");
    // A patch's lines stay in the records of patches only while the patch may still stand on
    // the server: once the server says it has no such file, a patch sent again under that
    // name is new. Only this site's patches are listed, so only their lines are judged, and
    // one that the listing leaves out is asked of the server by its name.
    std::map<std::string, bool> asked;
    const auto gone = [&](const std::string& line) {
      const std::string name = PatchOfLine(line);
      const std::string entry = step.folder + name;
      // A name no patch may have is never run: its line has nothing left to say.
      if (!NameFault(name).empty()) return true;
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
    for (size_t i = 0; i < names.size(); ++i) {
      try {
        ReceivePatch(names[i], step);
      } catch (const EFtpError& e) {
        if (!e.Refused) throw;
        StepFailed(e);
      } catch (const std::exception& e) {
        // The patches after it may build on it: they wait for it, and are named each cycle.
        StepFailed(e);
        std::string held;
        for (size_t j = i + 1; j < names.size(); ++j)
          held += (held.empty() ? "" : ", ") + PrintableName(PatchName(names[j], step));
        if (!held.empty())
          StepFailed("Patches held back behind patch " + PrintableName(PatchName(names[i], step)) +
                     ", as they may build on it: " + held +
                     " (they run once it has run, or once it has left the server)");
        break;
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
  // The patch is downloaded to transit/<name>, beside the client's records: its name is the
  // listed one whole, a plain file name that begins with the site's number ("07."), as no
  // record's name does. Taken apart at a separator, "07.x\patches-run.txt" would overwrite the
  // record of the patches that ran.
  const std::string name = PatchName(entry, step);
  std::string fault =
      entry.starts_with(step.folder) ? FileNameFault(name) : "it is not in " + step.folder;
  if (fault.empty() && !name.starts_with(siteText + "."))
    fault = "a patch of this site is named " + siteText + ".*";
  if (!fault.empty()) {
    StepFailed("Skipped " + PrintableName(entry) + ": " + fault);
    return;
  }
  ShowMsg("Downloading " + entry);
  const std::string patch = "Patch " + name;
  const std::string localFile = kTransitFolder + name;
  try {
    ftp->Get(entry, localFile);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    // Not run, as one refused for its text: the patches after it wait behind it.
    throw std::runtime_error(patch + " could not be downloaded (" + e.Detail +
                             "): it is tried again next cycle");
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
    if (step.waitingPatch.empty()) step.waitingPatch = name;
    return;
  }
  if (!step.waitingPatch.empty()) {
    ShowMsg(patch + " waits behind patch " + step.waitingPatch +
            ", which comes before it and runs first");
    RemoveQuietly(localFile);
    return;
  }

  if (dbManager) CloseConnection();
  std::string err;
  ConnectProject(clientLogin, err);
  RaiseOnError(err);
  // A patch refused for its text, or one that would not run whole, runs none of its blocks:
  // it stays on the server until corrected bytes replace it under its name.
  const auto refused = [&](const std::string& why) {
    RemoveQuietly(localFile);
    return std::runtime_error(patch + " was not run: " + why +
                              "; nothing of it ran, and it stays on the server");
  };
  std::vector<std::string> lines;
  try {
    lines = ReadLines(localFile);
  } catch (const ETextEncodingError& e) {
    throw refused(e.what());
  }
  const TSqlDialect dialect = dbManager->Current && dbManager->Current->DbType == "postgre"
                                  ? TSqlDialect::Postgres
                                  : TSqlDialect::Sqlite;
  if (const std::string why = UnrunnableLines(lines, dialect); !why.empty()) throw refused(why);

  // That the patch runs is written before its first block: a patch runs only while the
  // record of its run can be written, and a stop in the middle is known afterwards. A patch
  // that began and was not seen to end runs again from its first block, as one whose block
  // failed does: which of its blocks took effect cannot be told.
  const std::string running = RunningLine(key);
  if (step.run.Contains(running)) {
    // Some of its blocks may run twice: said where errors are read too.
    const std::string again = patch +
                              " began in an earlier cycle and was not seen to end: it runs again "
                              "from its first block";
    ShowMsg(again);
    view.ReportProblem(again);
  }
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
    if (IsMarker(line, "<<")) {
      statement.clear();
    } else if (IsMarker(line, ">>")) {
      DoTrace("# 1#" + statement);
      query->GetSQL().SetText(statement);
      try {
        query->ExecSQL();
      } catch (const std::exception& blockError) {
        // The run ended: the patch stays, to run again from its first block.
        ForgetLine(step.run, running);
        throw EDatabaseError(patch + ": " + dbManager->WithDatabase(blockError.what()));
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
