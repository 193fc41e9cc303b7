// The transfer steps of the cycle: sending the queued packets and the ping, receiving and
// applying packets, receiving and running patch files. Each step catches its own failures,
// shows them in the message pane and lets the cycle go on.
#include "uTransfer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "uApplyRecord.h"
#include "uAtExit.h"
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

std::string Digest(const std::string& fileName) {
  TMD5 md5;
  return md5.MD5Print(md5.MD5String(ReadBytes(fileName)));
}

// Copies source to a new file target; what stood there already is never touched. A copy
// that fails half-way (a full disk) is removed, so that no empty or cut file is left.
bool CopyNew(const fs::path& source, const fs::path& target) {
  std::error_code ec;
  const bool stood = fs::exists(fs::symlink_status(target, ec));
  if (fs::copy_file(source, target, ec)) return true;
  if (!stood) fs::remove(target, ec);
  return false;
}

// Before claims were recorded, a client marked its claims with digits made from its host name
// and working folder: "<name>.pkt.claim-" and the first 12 hexadecimal digits of the MD5 of
// "<host>:<folder>".
std::string UnrecordedClaimSuffix() {
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  std::error_code ec;
  const std::string folder = fs::absolute(".", ec).lexically_normal().string();
  const TMD5 md5;
  return kClaimMark + md5.MD5Print(md5.MD5String(std::string(host) + ":" + folder)).substr(0, 12);
}

}  // namespace

void CreateWorkFolders() { fs::create_directories(kFailedFolder); }

std::string NewClaimSuffix() {
  std::random_device random;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string suffix = kClaimMark;
  for (int i = 0; i < 12; ++i) suffix += "0123456789abcdef"[digit(random)];
  return suffix;
}

TLineRecord::TLineRecord(std::string fileName) : file_(std::move(fileName)) {
  std::ifstream in(file_, std::ios::binary);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines_.push_back(line);
}

bool TLineRecord::Contains(const std::string& line) const {
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void TLineRecord::Add(const std::string& line) {
  if (Contains(line)) return;
  lines_.push_back(line);
  Save();
}

void TLineRecord::Remove(const std::string& line) {
  const auto it = std::find(lines_.begin(), lines_.end(), line);
  if (it == lines_.end()) return;
  lines_.erase(it);
  Save();
}

void TLineRecord::Save() {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  const std::string temporary = file_ + ".new";
  WriteBytes(temporary, text);
  fs::rename(temporary, file_);
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
    // Older copies stay: a name that is taken holds this packet already, or the next
    // number is tried.
    if (fs::exists(logPacket, ec)) {
      if (ReadBytes(logPacket.string()) != bytes) continue;
    } else if (!CopyNew(packetPath, logPacket)) {
      return false;
    }
    if (fs::exists(xmlPath, ec)) CopyNew(xmlPath, fs::path(logPacket).replace_extension(".xml"));
    if (withTrace && fs::exists("trace.txt", ec))
      CopyNew("trace.txt", fs::path(logPacket).replace_extension(".trc"));
    return true;
  }
  return false;
}

// ---- Sending ----

void TfmV7Client::SendPackets() {
  ShowMsg("Sending");
  std::unique_ptr<TXDS> packets;
  std::unique_ptr<TXDS> remover;
  bool renameWarned = false;
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
      const std::string remote = "v7/site" + TwoDigits(siteNo) + "/send/" + file;
      if (!ftp->Connected()) ftp->Connect();
      ShowMsg("Uploading file " + file);
      UploadPacket(file, remote, renameWarned);
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
  const std::string remote = "v7/pings/" + TwoDigits(std::to_string(SiteNo)) + ".txt";
  if (!ftp->Connected()) ftp->Connect();
  ShowMsg("Uploading file ping.txt");
  ftp->Put("ping.txt", remote);
  RemoveQuietly("ping.txt");
}

// A packet appears under its own name only once it is whole: receivers list "*.pkt", and one
// that took a file still being written would apply a cut packet, or none. When the server
// will not rename (an account without the rename right, a server that does not replace a
// file by a rename) the packet is uploaded under its own name, as before renames were used.
void TfmV7Client::UploadPacket(const std::string& file, const std::string& remote,
                               bool& renameWarned) {
  const std::string uploading = remote + kUploadMark;
  ftp->Put(file, uploading);
  if (ftp->Rename(uploading, remote)) return;
  if (!renameWarned)
    ShowMsg("The FTP server refused to rename " + uploading + " to " + remote +
            ": packets are uploaded under their own names, and a receiver may meet one "
            "half-written");
  renameWarned = true;
  ftp->Put(file, remote);
  try {
    ftp->Delete(uploading);
  } catch (const EFtpError&) {
    // The packet itself is on the server: a copy left under the upload name is listed by no
    // receiver, and the next upload of that name replaces it.
  }
}

// ---- Receiving packets ----

// The state of one receive step that each packet's turn reads and adds to.
struct TReceiveStep {
  std::string folder;                        // "v7/siteNN/send/"
  TLineRecord claims{kClaimsFile};           // this client's unfinished claims
  TLineRecord handled{kHandledPacketsFile};  // applied or kept, still to leave the server
  TApplyRecord applying;                     // applications begun and not seen to end
  bool renameRefused = false;                // the account cannot claim: packets go unclaimed
};

void TfmV7Client::ReceivePackets() {
  ShowMsg("Receiving");
  try {
    std::string err;
    ConnectProject(clientLogin, err);
    RaiseOnError(err);
    siteText = TwoDigits(std::to_string(SiteNo));
    CreateWorkFolders();
    TReceiveStep step;
    step.folder = "v7/site" + siteText + "/send/";
    if (!ftp->Connected()) ftp->Connect();
    // Packets this client claimed in an earlier step and did not finish come first; claims
    // that are no longer on the server (finished, or renamed back by hand) leave the record.
    const std::vector<std::string> claimed =
        ftp->NameList(step.folder + "*.pkt" + kClaimMark + "*");
    for (const std::string& line : std::vector<std::string>(step.claims.Lines()))
      if (std::find(claimed.begin(), claimed.end(), line) == claimed.end())
        step.claims.Remove(line);
    // Claims left unfinished before claims were recorded bear digits that clones of one
    // machine share: each is taken over by a rename to a claim of this client's own, which
    // only one of them can make.
    const std::string unrecorded = UnrecordedClaimSuffix();
    for (const std::string& listed : claimed) {
      if (!listed.ends_with(unrecorded)) continue;
      const std::string taken =
          listed.substr(0, listed.size() - unrecorded.size()) + NewClaimSuffix();
      step.claims.Add(taken);
      if (!ftp->Rename(listed, taken)) step.claims.Remove(taken);
    }
    for (const std::string& listed : std::vector<std::string>(step.claims.Lines()))
      ReceiveOne(listed, true, step);
    for (const std::string& listed : ftp->NameList(step.folder + "*.pkt"))
      ReceiveOne(listed, false, step);
    CloseConnection();
  } catch (const std::exception& e) {
    // Only what ends the whole step comes here (the project, a lost FTP connection, a
    // database that cannot be synced): a packet's own failure ends its turn only.
    CloseConnection();
    StepFailed(e);
    ftp->Disconnect();
  }
  ShowMsg("Completed receive");
}

// One packet's turn: claim, download, unpack, apply (or keep when it fails), and remove it
// from the server. Every fate of a packet is decided here:
// - taken by another client: passed by;
// - not downloadable, or not kept when it failed: stays on the server, passed over this step;
// - still being uploaded by a peer that writes under the final name: stays for a later step;
// - applied, or failed and kept in the log folder: recorded as handled, then removed from
//   the server; a packet that is handled already is only removed, never applied again;
// - one during whose application the client stopped kMaxApplyDeaths times in a row: not
//   applied again, kept and removed as a packet that failed.
// Raises only what ends the step: a lost connection, a database that cannot be synced.
void TfmV7Client::ReceiveOne(const std::string& listed, bool ownClaim, TReceiveStep& step) {
  std::string name = listed.substr(step.folder.size());
  if (ownClaim) name.erase(name.rfind(kClaimMark));
  const std::string packet = step.folder + name;  // the packet as messages name it
  // The FTP layer takes "\" for a folder separator: such a file cannot be fetched.
  if (name.find('\\') != std::string::npos) {
    StepFailed("Skipped " + packet + ": a packet name may not hold \"\\\"");
    return;
  }
  std::string entry = listed;  // the packet's name on the server while it is worked on
  if (!ownClaim && !ClaimPacket(listed, packet, step, entry)) return;

  const std::string packetPath = kReceiveFolder + name;
  const std::string xmlPath = packetPath.substr(0, packetPath.size() - 4) + ".xml";
  AtExit removeLocal([&] {
    RemoveQuietly(packetPath);
    RemoveQuietly(xmlPath);
  });
  ShowMsg("Downloading " + packet);
  try {
    ftp->Get(entry, packetPath);
  } catch (const EFtpError& e) {
    const std::string message = "Packet " + packet + " could not be downloaded: " + e.Detail;
    if (!e.Refused) throw EFtpError(message, false, e.Detail);
    StepFailed(message);
    return;
  }
  const std::string handledLine = Digest(packetPath) + " " + name;
  if (step.handled.Contains(handledLine)) {
    ShowMsg("Packet " + packet + " was handled before: removed without applying it again");
    RemoveHandledPacket(entry, packet, handledLine, step);
    return;
  }

  std::string err;
  try {
    TCompress().DecompressFile(packetPath, xmlPath);
  } catch (const std::exception& e) {
    if (StillArriving(entry, packetPath)) {
      ShowMsg("Packet " + packet + " is still arriving: left on the server for a later cycle");
      return;
    }
    err = e.what();
  }
  if (err.empty()) {
    if (!fs::exists(xmlPath)) return;
    ApplyRecorded(*this, step.applying, handledLine, packet, xmlPath, err);
  }
  if (!err.empty()) {
    const bool kept = KeepFailedPacket(packetPath, xmlPath, TracingToFile());
    // Standard error names the packet and where it is now: it is often read alone.
    const std::string fate =
        kept ? std::string("it was kept in ") + kFailedFolder
             : std::string("it stays on the server: no copy could be kept in ") + kFailedFolder;
    StepFailed(err, "Packet " + packet + " failed: " + err + "; " + fate);
    if (!kept) {
      ShowMsg("Packet " + packet + " stays on the server: no copy could be kept in " +
              kFailedFolder);
      return;
    }
  }
  // Commits do not wait for the disk one by one: what this packet wrote (rows of a failed
  // table packet too) is synced before the server's copy may go. When the sync fails the
  // packet stays.
  dbManager->MakeDurable();
  step.handled.Add(handledLine);
  step.applying.End(handledLine);
  RemoveHandledPacket(entry, packet, handledLine, step);
}

// Other clients may work this site too: a packet is applied by the one whose rename claims
// it. The claim is recorded before the rename, so that a client stopped in between finds it
// again. An account without the rename right cannot claim at all: its packets are applied
// unclaimed (one client per site), with one warning a step. False when another client has it.
bool TfmV7Client::ClaimPacket(const std::string& listed, const std::string& packet,
                              TReceiveStep& step, std::string& entry) {
  if (step.renameRefused) return true;
  const std::string claimed = listed + NewClaimSuffix();
  step.claims.Add(claimed);
  if (ftp->Rename(listed, claimed)) {
    entry = claimed;
    return true;
  }
  step.claims.Remove(claimed);
  // Taken by another client, the packet is gone from its own name; still there, the server
  // refused the rename itself.
  const std::vector<std::string> still = ftp->NameList(step.folder + "*.pkt");
  if (std::find(still.begin(), still.end(), listed) == still.end()) {
    ShowMsg("Skipped " + packet + ": taken by another client");
    return false;
  }
  step.renameRefused = true;
  ShowMsg("The FTP server refused to rename " + packet +
          ": the account lacks the rename right that claims a packet, so packets are applied "
          "unclaimed; only one client may receive for this site");
  return true;
}

// A packet that failed to unpack may be one that a peer is still uploading under its own
// name: its size on the server is not what was downloaded, or it was written very recently.
bool TfmV7Client::StillArriving(const std::string& entry, const std::string& localFile) {
  constexpr std::time_t kRecentSeconds = 120;
  RemoteFileInfo info;
  try {
    info = ftp->FileInfo(entry);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    return false;
  }
  std::error_code ec;
  const uintmax_t downloaded = fs::file_size(localFile, ec);
  if (info.Size >= 0 && !ec && static_cast<uintmax_t>(info.Size) != downloaded) return true;
  // Clocks of the server and the site may differ a little either way.
  return info.Modified >= 0 && std::abs(std::time(nullptr) - info.Modified) < kRecentSeconds;
}

// A packet that was applied, or kept in the log folder, must leave the server; its line in
// the record of handled packets goes only once it has. A refused delete leaves both: the
// packet is not applied again, and its removal is tried again next step. A control
// connection that died while the packet was applied (an idle timeout of the server, a
// firewall that forgot it) gets one more try on a new one.
void TfmV7Client::RemoveHandledPacket(const std::string& entry, const std::string& packet,
                                      const std::string& handledLine, TReceiveStep& step) {
  try {
    try {
      ftp->Delete(entry);
    } catch (const EFtpError& e) {
      if (e.Refused) throw;
      ftp->Disconnect();
      ftp->Connect();
      ftp->Delete(entry);
    }
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    StepFailed("Packet " + packet + " could not be removed from the server (" + e.Detail +
               "): it is not applied again, and its removal is tried again next cycle");
    return;
  }
  step.handled.Remove(handledLine);
  step.claims.Remove(entry);
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
    std::string remoteFolder = "v7/patches/";
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
      // A patch that ran to its end but may still stand on the server (the client stopped,
      // the server refused the delete) is removed next time instead of running twice.
      const std::string runLine = Digest(localFile) + " " + name;
      TLineRecord run(kRunPatchesFile);
      if (run.Contains(runLine)) {
        ShowMsg("Patch " + name + " ran to its end before: removed without running it again");
        RemoveQuietly(localFile);
        ftp->Delete(entry);
        run.Remove(runLine);
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
      RemoveQuietly(localFile);
      ftp->Delete(entry);
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
