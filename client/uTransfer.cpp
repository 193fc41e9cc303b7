// The transfer steps of the cycle: sending the queued packets and the ping, receiving and
// applying packets, receiving and running patch files. Each step catches its own failures,
// shows them in the message pane and lets the cycle go on.
#include "uTransfer.h"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uMD5.h"
#include "uMain.h"
#include "uTextEncoding.h"
#include "uXDS.h"
#include "uZStream.h"

namespace v7 {

namespace fs = std::filesystem;

namespace {

std::string TwoDigits(const std::string& number) { return PadLeft(number, 2, '0'); }

void WriteBytes(const std::string& fileName, const std::string& bytes) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw EFCreateError("Cannot create file \"" + fileName + "\"");
}

std::string ReadBytes(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The lines of a text file, as UTF-8; a line ends at CR LF, LF or CR. A file that is not
// UTF-8 is read in the Windows code page of the product's other programs; one that is
// neither is refused whole, before any of its lines is used.
std::vector<std::string> ReadLines(const std::string& fileName) {
  std::string text;
  try {
    text = PlainTextToUtf8(ReadBytes(fileName));
  } catch (const ETextEncodingError& e) {
    throw ETextEncodingError(std::string(e.what()) + " in \"" + fileName + "\"");
  }
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

void RemoveQuietly(const std::string& fileName) {
  std::error_code ec;
  fs::remove(fileName, ec);
}

std::string Doubled(const std::string& text) { return ReplaceAll(text, "'", "''"); }

void RaiseOnError(const std::string& err) {
  if (!err.empty()) throw EDatabaseError(err);
}

// The patches that ran to their end but may still stand on the server: one line each, the
// digest of the file and its name. A line is written before the file is deleted from the
// server and removed after, so a patch whose removal did not happen (the client stopped, the
// server refused) is deleted next time instead of running twice.
std::vector<std::string> ReadRunPatches() {
  std::error_code ec;
  return fs::exists(kRunPatchesFile, ec) ? ReadLines(kRunPatchesFile) : std::vector<std::string>{};
}

void WriteRunPatches(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  // Replaced as a whole, so a stop half-way leaves the old list or the new one.
  const std::string temporary = std::string(kRunPatchesFile) + ".new";
  WriteBytes(temporary, text);
  fs::rename(temporary, kRunPatchesFile);
}

std::string RunPatchLine(const std::string& localFile, const std::string& name) {
  TMD5 md5;
  return md5.MD5Print(md5.MD5String(ReadBytes(localFile))) + " " + name;
}

}  // namespace

void CreateWorkFolders() { fs::create_directories(kFailedFolder); }

std::string ClaimSuffix() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::error_code ec;
  const std::string folder = fs::absolute(".", ec).lexically_normal().string();
  const TMD5 md5;
  return ".claim-" + md5.MD5Print(md5.MD5String(std::string(host) + ":" + folder)).substr(0, 12);
}

std::string QueuedPacketIdentity() {
  // The engine's own handle of a stored row: it names exactly one row whatever the columns
  // hold, so a row whose date is text or whose destination is untyped leaves the queue too.
  return DbKind == "postgre" ? "ctid" : "rowid";
}

bool KeepFailedPacket(const std::string& packetPath, const std::string& xmlPath, bool withTrace) {
  std::error_code ec;
  if (!fs::is_regular_file(packetPath, ec)) return false;
  const std::string bytes = ReadBytes(packetPath);
  const fs::path file = fs::path(packetPath).filename();
  for (int n = 1; n <= 100; ++n) {
    fs::path logPacket = fs::path(kFailedFolder) / file;
    if (n > 1)
      logPacket.replace_filename(file.stem().string() + "." + std::to_string(n) +
                                 file.extension().string());
    // copy_file without overwrite options refuses an existing target: older copies stay.
    fs::copy_file(packetPath, logPacket, ec);
    if (!fs::exists(logPacket, ec)) return false;
    if (ReadBytes(logPacket.string()) != bytes) continue;
    if (fs::exists(xmlPath, ec))
      fs::copy_file(xmlPath, fs::path(logPacket).replace_extension(".xml"), ec);
    if (withTrace && fs::exists("trace.txt", ec))
      fs::copy_file("trace.txt", fs::path(logPacket).replace_extension(".trc"), ec);
    return true;
  }
  return false;
}

// ---- Sending ----

void TfmV7Client::SendPackets() {
  ShowMsg("Sending");
  std::unique_ptr<TXDS> packets;
  std::unique_ptr<TXDS> remover;
  try {
    std::string err;
    ConnectProject(clientLogin, err);
    RaiseOnError(err);
    SendPing();
    packets = dbManager->NewQuery();
    remover = dbManager->NewQuery();
    const std::string identity = QueuedPacketIdentity();
    packets->GetSQL().SetText("select v7pkt.*, " + identity + " as " + kQueuedRowColumn +
                              " from v7pkt order by pktdate");
    packets->Open();
    while (!packets->Eof()) {
      const std::string name = packets->FieldByName("name").Value;
      const std::string siteNo = packets->FieldByName("siteno").Value;
      const std::string file = name + ".pkt";
      WriteBytes(file, packets->FieldByName("pkt").Value);
      const std::string remote = "v7\\site" + TwoDigits(siteNo) + "\\send\\" + file;
      if (!ftp->Connected()) ftp->Connect();
      ShowMsg("Uploading file " + file);
      ftp->Put(file, remote);
      RemoveQuietly(file);
      // Only this row leaves the queue: a row of the same date that is not sent yet must stay
      // when its own upload fails.
      const std::string row = packets->FieldByName(kQueuedRowColumn).Value;
      remover->GetSQL().SetText("delete from v7pkt where " + identity + "='" + Doubled(row) + "'");
      remover->ExecSQL();
      if (remover->RowsAffected() != 1)
        throw EDatabaseError("Packet " + file + " was uploaded but its row could not be removed " +
                             "from v7pkt (" + std::to_string(remover->RowsAffected()) +
                             " rows deleted): it will be sent again");
      packets->Next();
    }
    packets.reset();
    remover.reset();
    // Sent rows must not come back after a power cut: they would be sent twice.
    dbManager->MakeDurable();
    CloseConnection();
  } catch (const std::exception& e) {
    StepFailed(e);
    packets.reset();
    remover.reset();
    CloseConnection();
    ftp->Disconnect();
  }
  ShowMsg("Send completed");
}

void TfmV7Client::SendPing() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S", &local);
  WriteBytes("ping.txt", std::string(stamp) + "\r\n");
  const std::string remote = "v7\\pings\\" + TwoDigits(std::to_string(SiteNo)) + ".txt";
  if (!ftp->Connected()) ftp->Connect();
  ShowMsg("Uploading file ping.txt");
  ftp->Put("ping.txt", remote);
  RemoveQuietly("ping.txt");
}

// ---- Receiving packets ----

void TfmV7Client::ReceivePackets() {
  ShowMsg("Receiving");
  std::vector<std::string> names;
  std::string entry;   // the packet's path on the server, once claimed
  std::string packet;  // its path as it was listed, for messages
  std::string packetPath;
  std::string xmlPath;
  try {
    std::string err;
    ConnectProject(clientLogin, err);
    RaiseOnError(err);
    siteText = TwoDigits(std::to_string(SiteNo));
    std::string remoteFolder = "v7\\site" + siteText + "\\send\\";
    const std::string localFolder = kReceiveFolder;
    CreateWorkFolders();
    if (!ftp->Connected()) ftp->Connect();
    // Packets this client claimed in an earlier step and did not finish come first.
    const std::string suffix = ClaimSuffix();
    names = ftp->NameList(remoteFolder + "*.pkt" + suffix);
    for (const std::string& listed : ftp->NameList(remoteFolder + "*.pkt")) names.push_back(listed);
    for (const std::string& listed : names) {
      entry.clear();
      packetPath.clear();
      xmlPath.clear();
      std::string name;
      SplitPath(listed, remoteFolder, name);
      // Other clients may work this site too: a packet is applied by the one client whose
      // rename claims it, and the others pass it by.
      std::string claimed = listed;
      if (name.ends_with(suffix)) {
        name.resize(name.size() - suffix.size());
      } else if (claimed += suffix; !ftp->Rename(listed, claimed)) {
        ShowMsg("Skipped " + listed + ": taken by another client");
        continue;
      }
      entry = claimed;
      packet = remoteFolder + name;
      ShowMsg("Downloading " + packet);
      ftp->Get(entry, localFolder + name);
      packetPath = localFolder + name;
      xmlPath = packetPath.substr(0, packetPath.size() >= 4 ? packetPath.size() - 4 : 0) + ".xml";
      TCompress().DecompressFile(packetPath, xmlPath);
      if (fs::exists(xmlPath)) {
        ShowMsg("Pushing into database");
        std::string postErr;
        Postdata(xmlPath, postErr);
        if (!postErr.empty()) StepFailed(postErr);
        // A rejected packet leaves the server only once its copy is kept.
        const bool kept = postErr.empty() || KeepFailedPacket(packetPath, xmlPath, TracingToFile());
        RemoveQuietly(packetPath);
        RemoveQuietly(xmlPath);
        // Handled: nothing is left here for the failure handler to keep.
        packetPath.clear();
        xmlPath.clear();
        if (kept) {
          // Commits do not wait for the disk one by one: what this packet wrote is synced
          // here, before the server's copy goes. When the sync fails the packet stays.
          dbManager->MakeDurable();
          DeleteHandledPacket(entry);
        } else {
          ShowMsg("Packet " + packet + " stays on the server: no copy could be kept in " +
                  kFailedFolder);
        }
      } else {
        RemoveQuietly(packetPath);
      }
    }
    names.clear();
    CloseConnection();
  } catch (const std::exception& e) {
    // Rows that a failed table packet wrote before its failure stay, so they are synced
    // before the server's copy may go.
    bool durable = true;
    try {
      if (dbManager) dbManager->MakeDurable();
    } catch (const std::exception& syncError) {
      durable = false;
      ShowMsg(syncError.what());
    }
    CloseConnection();
    StepFailed(e);
    if (!entry.empty() && !packetPath.empty() && !xmlPath.empty()) {
      const bool kept = KeepFailedPacket(packetPath, xmlPath, TracingToFile());
      RemoveQuietly(packetPath);
      RemoveQuietly(xmlPath);
      if (!durable) {
        ShowMsg("Packet " + packet + " stays on the server: the database could not be synced");
      } else if (!kept) {
        ShowMsg("Packet " + packet + " stays on the server: no copy could be kept in " +
                kFailedFolder);
      } else if (ftp->Connected()) {
        try {
          ftp->Delete(entry);
        } catch (const std::exception& deleteError) {
          ShowMsg(deleteError.what());
        }
      }
    }
    names.clear();
    ftp->Disconnect();
  }
  ShowMsg("Completed receive");
}

// A packet that was applied, or kept in the log folder, must leave the server: left there
// it would be applied again. A control connection that died while the packet was applied
// (an idle timeout of the server, a firewall that forgot it) gets one more try on a new one.
void TfmV7Client::DeleteHandledPacket(const std::string& remote) {
  try {
    ftp->Delete(remote);
  } catch (const EFtpError& e) {
    ShowMsg(e.what());
    ftp->Disconnect();
    ftp->Connect();
    ftp->Delete(remote);
  }
}

// ---- Receiving patches ----

void TfmV7Client::ReceivePatches() {
  ShowMsg("Receiving patches");
  // No step leaves a connection open; the patch step opens one per file it runs.
  dbManager.reset();
  std::vector<std::string> names;
  std::unique_ptr<TXDS> query;
  try {
    siteText = TwoDigits(std::to_string(SiteNo));
    std::string remoteFolder = "v7\\patches\\";
    const std::string localFolder = kTransitFolder;
    CreateWorkFolders();
    if (!ftp->Connected()) ftp->Connect();
    names = ftp->NameList(remoteFolder + siteText + ".*");
    for (const std::string& entry : names) {
      ShowMsg("Downloading " + entry);
      std::string name;
      SplitPath(entry, remoteFolder, name);
      const std::string localFile = localFolder + name;
      ftp->Get(remoteFolder + name, localFile);
      if (!fs::exists(localFile)) continue;
      const std::string runLine = RunPatchLine(localFile, name);
      std::vector<std::string> run = ReadRunPatches();
      if (std::find(run.begin(), run.end(), runLine) != run.end()) {
        ShowMsg("Patch " + name + " ran to its end before: removed without running it again");
        RemoveQuietly(localFile);
        ftp->Delete(entry);
        run.erase(std::remove(run.begin(), run.end(), runLine), run.end());
        WriteRunPatches(run);
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
      run.push_back(runLine);
      WriteRunPatches(run);
      RemoveQuietly(localFile);
      ftp->Delete(entry);
      run.pop_back();
      WriteRunPatches(run);
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
