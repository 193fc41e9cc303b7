// The transfer steps of the cycle: sending the queued packets and the ping, receiving and
// applying packets, receiving and running patch files. Each step catches its own failures,
// shows them in the message pane and lets the cycle go on.
#include "uTransfer.h"

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
#include "uPacketTrace.h"
#include "uPostDocument.h"
#include "uTextEncoding.h"
#include "uXDS.h"
#include "uZStream.h"

namespace v7 {

namespace fs = std::filesystem;

namespace {

std::string TwoDigits(const std::string& number) { return PadLeft(number, 2, '0'); }

// Writes a whole file, or none: a file cut by a full disk or the file size limit is removed,
// so that it does not keep the disk full for the files written after it, and the message
// names the cause ("No space left on device", "File too large").
void WriteBytes(const std::string& fileName, const std::string& bytes) {
  const int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) throw EFCreateError("Cannot create file \"" + fileName + "\". " + strerror(errno));
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n >= 0)
      done += static_cast<size_t>(n);
    else if (errno != EINTR)
      error = errno;
  }
  // Some file systems report a full disk only when the file is closed.
  if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0) return;
  unlink(fileName.c_str());
  throw EFCreateError("Cannot write file \"" + fileName + "\". " + strerror(error));
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

std::string BytesDigest(const std::string& bytes) {
  const TMD5 md5;
  return md5.MD5Print(md5.MD5String(bytes));
}

std::string Digest(const std::string& fileName) { return BytesDigest(ReadBytes(fileName)); }

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
  try {
    Save();
  } catch (...) {
    lines_.pop_back();
    throw;
  }
}

void TLineRecord::Remove(const std::string& line) {
  const auto it = std::find(lines_.begin(), lines_.end(), line);
  if (it == lines_.end()) return;
  lines_.erase(it);
  Save();
}

void TLineRecord::RemoveIf(const std::function<bool(const std::string&)>& gone) {
  const auto end = std::remove_if(lines_.begin(), lines_.end(), gone);
  if (end == lines_.end()) return;
  lines_.erase(end, lines_.end());
  Save();
}

void TLineRecord::Save() {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  const std::string temporary = file_ + ".new";
  WriteBytes(temporary, text);
  try {
    fs::rename(temporary, file_);
  } catch (...) {
    RemoveQuietly(temporary);
    throw;
  }
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
    if (withTrace)
      CopyPacketRunTrace(xmlPath, fs::path(logPacket).replace_extension(".trc").string());
    return true;
  }
  return false;
}

// ---- Sending ----

void TfmV7Client::SendPackets() {
  ShowMsg("Sending");
  std::unique_ptr<TXDS> packets;
  std::unique_ptr<TXDS> remover;
  bool renameRefused = false;
  try {
    std::string err;
    ConnectProject(clientLogin, err);
    RaiseOnError(err);
    SendPing();
    CreateWorkFolders();
    TLineRecord publishing(kPublishingFile);
    packets = dbManager->NewQuery();
    remover = dbManager->NewQuery();
    FinishPublications(publishing, *packets, renameRefused);
    const std::string identity = QueuedPacketIdentity();
    packets->GetSQL().SetText("select v7pkt.*, " + identity + " as " + kQueuedRowColumn +
                              " from v7pkt order by pktdate");
    packets->Open();
    while (!packets->Eof()) {
      const std::string name = packets->FieldByName("name").Value;
      const std::string siteNo = packets->FieldByName("siteno").Value;
      const std::string file = name + ".pkt";
      // Written afresh from the row whenever it is sent.
      AtExit removeLocal([&] { RemoveQuietly(file); });
      WriteBytes(file, packets->FieldByName("pkt").Value);
      const std::string remote = "v7/site" + TwoDigits(siteNo) + "/send/" + file;
      if (!ftp->Connected()) ftp->Connect();
      ShowMsg("Uploading file " + file);
      // Only this row leaves the queue: a row of the same date that is not sent yet must stay
      // when its own upload fails.
      const std::string row = packets->FieldByName(kQueuedRowColumn).Value;
      const auto dequeue = [&] {
        remover->GetSQL().SetText("delete from v7pkt where " + identity + "='" + Doubled(row) +
                                  "'");
        remover->ExecSQL();
        // The delete names one row; SQLite counts the rows that triggers of the site's own
        // programs change with it.
        const int deleted = remover->RowsAffected() > 0 ? 1 : 0;
        // A sent row that came back after a power cut would be sent again.
        if (deleted == 1) dbManager->MakeDurable();
        return deleted;
      };
      PublishPacket(file, remote, publishing, dequeue, renameRefused);
      packets->Next();
    }
    packets.reset();
    remover.reset();
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

// A queued packet is published once. It is uploaded under a name that no receiver lists,
// the publication is noted, its row is deleted, and only then is it renamed to its own name:
// a stop or a failure anywhere leaves either its row (it is uploaded again, replacing the
// upload) or the note (the next step renames the upload), never a published packet and its
// row. A packet appears under its own name only once it is whole, too: a receiver that took
// a file still being written would apply a cut packet, or none.
//
// When the server will not take the upload name (some take only known extensions) or will
// not rename (an account without the rename right, a server that does not replace a file by
// a rename), the packet is uploaded under its own name and its row deleted after, as before
// renames were used: a stop between the two sends it again.
void TfmV7Client::PublishPacket(const std::string& file, const std::string& remote,
                                TLineRecord& publishing, const std::function<int()>& dequeue,
                                bool& renameRefused) {
  const std::string uploading = remote + kUploadMark;
  const auto notRemoved = [&](int deleted, const std::string& fate) {
    return EDatabaseError("Packet " + file + " was uploaded but its row could not be removed " +
                          "from v7pkt (" + std::to_string(deleted) + " rows deleted): " + fate);
  };
  if (!renameRefused) {
    bool stored = true;
    try {
      ftp->Put(file, uploading);
    } catch (const EFtpError& e) {
      if (!e.Refused) throw;
      WarnUnrenamed("The FTP server refused to store " + uploading + " (" + e.Detail + ")",
                    renameRefused);
      stored = false;
    }
    if (stored) {
      const std::string line = Digest(file) + " " + remote;
      try {
        publishing.Add(line);
      } catch (const std::exception& e) {
        throw std::runtime_error("Packet " + file + " is not sent: its publication cannot be " +
                                 "noted in " + kPublishingFile + " (" + e.what() + ")");
      }
      int deleted = 0;
      try {
        deleted = dequeue();
      } catch (const std::exception& e) {
        // Whether the delete took effect is told by the queue at the start of the next step.
        throw EDatabaseError("Packet " + file + " could not be removed from v7pkt (" + e.what() +
                             "): it is not published, and is sent again while its row stays");
      }
      if (deleted != 1) {
        // Another program removed the row (a second client sending for this site, the site's
        // own programs): not this client's to publish. The upload stays, as it may be that
        // other sender's, still to be renamed.
        publishing.Remove(line);
        throw notRemoved(deleted, "it is not published");
      }
      FinishPublication(line, file, publishing, renameRefused);
      return;
    }
  }
  ftp->Put(file, remote);
  const int deleted = dequeue();
  if (deleted != 1) throw notRemoved(deleted, "it will be sent again");
}

// Publishes a noted upload: renames it to its own name, then drops the note. localFile holds
// the packet when the step still has it; after a stop the upload itself is fetched. Raises
// while the upload stays unpublished (the server refuses its rename for the time being, the
// connection is lost): the note stays for the next step.
void TfmV7Client::FinishPublication(const std::string& line, const std::string& localFile,
                                    TLineRecord& publishing, bool& renameRefused) {
  const std::string digest = line.substr(0, line.find(' '));
  const std::string remote = line.substr(line.find(' ') + 1);
  const std::string uploading = remote + kUploadMark;
  if (!ftp->Connected()) ftp->Connect();
  std::string refusal;
  if (ftp->Rename(uploading, remote, &refusal)) {
    publishing.Remove(line);
    return;
  }
  // What the server holds under the upload name decides, asked of that file itself: a
  // listing may leave a file out.
  const std::string fetched = std::string(kTransitFolder) + "publishing.pkt";
  AtExit removeFetched([&] { RemoveQuietly(fetched); });
  try {
    ftp->Get(uploading, fetched);
  } catch (const EFtpError& e) {
    if (!e.Refused || !e.Detail.starts_with("550")) throw;
    // Renamed already: by this client before a stop or a lost reply, or by another client
    // sending the same packet, whose upload of the name took this one's place.
    ShowMsg("The upload " + uploading + " was renamed to " + remote + " already");
    publishing.Remove(line);
    return;
  }
  if (Digest(fetched) != digest) {
    ShowMsg("The upload " + uploading +
            " is another sender's upload of the same name now: " + "left to that sender");
    publishing.Remove(line);
    return;
  }
  if (refusal.starts_with("4"))
    throw EFtpError("The FTP server refused to rename " + uploading + " to " + remote + " (" +
                        refusal + "): it is published in a later cycle",
                    true, refusal);
  ftp->Put(localFile.empty() ? fetched : localFile, remote);
  WarnUnrenamed("The FTP server refused to rename " + uploading + " to " + remote, renameRefused);
  try {
    ftp->Delete(uploading);
  } catch (const EFtpError&) {
    // The packet itself is on the server: a copy left under the upload name is listed by no
    // receiver, and the next upload of that name replaces it.
  }
  publishing.Remove(line);
}

// Publications that an earlier step noted and did not finish. A row still queued with that
// name, destination and bytes was not deleted: its upload is not published, and the row is
// sent below as any other. Otherwise the row is gone and its upload is renamed now.
void TfmV7Client::FinishPublications(TLineRecord& publishing, TXDS& queue, bool& renameRefused) {
  for (const std::string& line : std::vector<std::string>(publishing.Lines())) {
    std::string folder, file;
    SplitPath(line.substr(line.find(' ') + 1), folder, file);
    queue.GetSQL().SetText("select pkt, siteno from v7pkt where name='" +
                           Doubled(file.substr(0, file.size() - 4)) + "'");
    queue.Open();
    bool queued = false;
    for (; !queue.Eof() && !queued; queue.Next())
      queued = BytesDigest(queue.FieldByName("pkt").Value) + " v7/site" +
                   TwoDigits(queue.FieldByName("siteno").Value) + "/send/" + file ==
               line;
    queue.Close();
    if (queued)
      publishing.Remove(line);
    else
      FinishPublication(line, "", publishing, renameRefused);
  }
}

// One warning a step that packets go under their own names.
void TfmV7Client::WarnUnrenamed(const std::string& refusal, bool& renameRefused) {
  if (!renameRefused)
    ShowMsg(refusal +
            ": packets are uploaded under their own names, and a receiver may meet one "
            "half-written");
  renameRefused = true;
}

// Removes a file this client is done with from the server. A control connection that died
// (an idle timeout of the server, a firewall that forgot it, a reply that was lost) gets one
// more try on a new one. What the server then says of that very file decides: a refusal for a
// file that it no longer has (it carried out a delete whose reply was lost, or another
// client's) is success, and a delete answered as done for a file that it still has is not.
// Raises the refusal of a file that stays.
void TfmV7Client::RemoveFromServer(const std::string& entry) {
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
    if (!e.Refused || !GoneFromServer(entry)) throw;
    return;
  }
  if (ftp->Presence(entry) == FilePresence::Present)
    throw EFtpError("FTP delete of " + entry +
                        " failed: the server answered it as done but still "
                        "has the file",
                    true, "the server answered the delete as done but still has the file");
}

// Whether the server answers, asked of that very name, that it has no such file. A name that a
// listing leaves out may still be there: servers cap their listings, and answer one that
// fails as they answer one of an empty folder.
bool TfmV7Client::GoneFromServer(const std::string& entry) {
  return ftp->Presence(entry) == FilePresence::Absent;
}

// ---- Receiving packets ----

// The state of one receive step that each packet's turn reads and adds to.
struct TReceiveStep {
  std::string folder;                               // "v7/siteNN/send/"
  TLineRecord claims{kClaimsFile};                  // this client's unfinished claims
  TLineRecord handled{kHandledPacketsFile};         // applied or kept, still to leave the server
  TLineRecord unpackFailures{kUnpackFailuresFile};  // failed to unpack, may still be arriving
  TApplyRecord applying;                            // applications begun and not seen to end
  // Whether the account may rename here at all: asked once a step, after a refusal.
  TRenameRight renameRight = TRenameRight::Unknown;
};

namespace {

// A packet whose bytes failed to unpack on two steps this far apart is cut for good.
constexpr std::time_t kSettleSeconds = 10 * 60;
// A claim that no client has finished for this long is named to the operator.
constexpr std::time_t kAbandonedClaimSeconds = 24 * 60 * 60;

// What a record line holds after its first `fields` blank-separated fields (a name may hold
// blanks).
std::string FieldsAfter(const std::string& line, int fields) {
  size_t at = 0;
  for (int i = 0; i < fields && at != std::string::npos; ++i) {
    at = line.find(' ', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? "" : line.substr(at);
}

std::string UtcStamp(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return stamp;
}

// -1 for a text that is no stamp of UtcStamp.
std::time_t ParseUtcStamp(const std::string& text) {
  std::tm utc{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return end && *end == '\0' ? timegm(&utc) : -1;
}

// Seconds since `what` was first seen, by this site's clock: records of "<time> <what>" lines.
// What is new is noted now; so is what was noted at a time still to come (the clock was put
// back), which would otherwise wait until the clock is there again.
std::time_t SecondsSinceFirstSeen(TLineRecord& record, const std::string& what) {
  const std::time_t now = std::time(nullptr);
  for (const std::string& line : record.Lines()) {
    if (FieldsAfter(line, 1) != what) continue;
    const std::time_t first = ParseUtcStamp(line.substr(0, line.find(' ')));
    if (first >= 0 && first <= now) return now - first;
    record.Remove(line);
    break;
  }
  record.Add(UtcStamp(now) + " " + what);
  return 0;
}

// A record line is kept only while its packet may still be on the server: under its own name
// or as a claim of this client's own. A line whose packet is gone (a delete whose reply was
// lost, a client stopped right after its delete, a packet removed by hand) leaves, so that a
// packet sent again later under that name, with the same bytes, is new. A packet that the
// listing shows stays; one that it leaves out is asked of the server by its name
// (goneFromServer), once a step.
void ForgetPacketsGone(TReceiveStep& step, const std::vector<std::string>& listed,
                       std::set<std::string>& handledUnsaved,
                       const std::function<bool(const std::string&)>& goneFromServer) {
  std::map<std::string, bool> asked;
  const auto gone = [&](const std::string& name) {
    const std::string own = step.folder + name;
    if (std::find(listed.begin(), listed.end(), own) != listed.end()) return false;
    if (std::any_of(step.claims.Lines().begin(), step.claims.Lines().end(),
                    [&](const std::string& claim) { return claim.starts_with(own + kClaimMark); }))
      return false;
    const auto known = asked.find(own);
    if (known != asked.end()) return known->second;
    return asked[own] = goneFromServer(own);
  };
  step.handled.RemoveIf([&](const std::string& line) { return gone(FieldsAfter(line, 1)); });
  step.unpackFailures.RemoveIf([&](const std::string& line) { return gone(FieldsAfter(line, 2)); });
  step.applying.ForgetIf([&](const std::string& line) { return gone(FieldsAfter(line, 2)); });
  std::erase_if(handledUnsaved,
                [&](const std::string& line) { return gone(FieldsAfter(line, 1)); });
}

}  // namespace

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
    // that the server no longer has (finished, or renamed back by hand) leave the record.
    const std::vector<std::string> claimed =
        ftp->NameList(step.folder + "*.pkt" + kClaimMark + "*");
    for (const std::string& line : std::vector<std::string>(step.claims.Lines()))
      if (std::find(claimed.begin(), claimed.end(), line) == claimed.end() && GoneFromServer(line))
        step.claims.Remove(line);
    const std::string unrecorded = UnrecordedClaimSuffix();
    NameAbandonedClaims(claimed, unrecorded, step);
    // Claims left unfinished before claims were recorded bear digits that clones of one
    // machine share: each is taken over by a rename to a claim of this client's own, which
    // only one of them can make.
    for (const std::string& listed : claimed) {
      if (!listed.ends_with(unrecorded)) continue;
      const std::string taken =
          listed.substr(0, listed.size() - unrecorded.size()) + NewClaimSuffix();
      step.claims.Add(taken);
      if (!ftp->Rename(listed, taken)) step.claims.Remove(taken);
    }
    // Files left by the probe of the rename right go once the account lets them.
    std::erase_if(probesLeft, [&](const std::string& probe) {
      try {
        RemoveFromServer(probe);
        return true;
      } catch (const EFtpError& e) {
        if (!e.Refused) throw;
        return false;
      }
    });
    const std::vector<std::string> offered = ftp->NameList(step.folder + "*.pkt");
    ForgetPacketsGone(step, offered, handledUnsaved,
                      [&](const std::string& entry) { return GoneFromServer(entry); });
    for (const std::string& listed : std::vector<std::string>(step.claims.Lines()))
      ReceiveOne(listed, true, step);
    for (const std::string& listed : offered) ReceiveOne(listed, false, step);
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
// - not downloadable, its claim refused, or not kept when it failed: stays on the server,
//   passed over this step;
// - still being uploaded by a peer that writes under the final name: stays for a later step;
// - applied, or failed and kept in the log folder: recorded as handled, then removed from
//   the server; a packet that is handled already is only removed, never applied again;
// - one during whose application the client stopped kMaxApplyDeaths times in a row: not
//   applied again, kept and removed as a packet that failed;
// - one that the site failed (its disk, its file size limit, its database): stays on the
//   server, neither kept nor recorded, and the step ends (ESiteFailure).
// Raises only what ends the step: a lost connection, a failure of the site, a database that
// cannot be synced, a handled packet that can neither be recorded nor removed.
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
  if (step.handled.Contains(handledLine) || handledUnsaved.contains(handledLine)) {
    ShowMsg("Packet " + packet + " was handled before: removed without applying it again");
    RemoveHandledPacket(entry, packet, handledLine, step);
    ForgetSavedDocument(*dbManager, handledLine);
    return;
  }

  // A failure of the site (a full disk, a file size limit, an I/O error, a database locked or
  // gone) is no fault of the packet: it stays on the server, is neither kept nor recorded,
  // and the step ends, as every packet after it would meet the same.
  const auto siteFailed = [&](const std::string& cause) {
    return ESiteFailure("Packet " + packet + " was not applied, as the site failed (" + cause +
                        "): it stays on the server for the next cycle");
  };
  std::string err;
  try {
    TCompress().DecompressFile(packetPath, xmlPath);
  } catch (const EPacketTooLarge& e) {
    err = e.what();  // the packet's own fault: no later cycle would do better
  } catch (const std::exception& e) {
    const auto* stream = dynamic_cast<const EStreamError*>(&e);
    if (stream && stream->SystemErrno() != 0) throw siteFailed(e.what());
    if (StillArriving(entry, packetPath, handledLine, step)) {
      ShowMsg("Packet " + packet + " could not be unpacked (" + e.what() +
              "): left on the server for a later cycle, as it may still be arriving");
      return;
    }
    err = e.what();
  }
  bool noted = false;  // a new document recorded under handledLine
  if (err.empty()) {
    if (!fs::exists(xmlPath)) return;
    try {
      noted = ApplyRecorded(*this, step.applying, handledLine, packet, xmlPath, err);
    } catch (const ESiteFailure& e) {
      throw siteFailed(e.what());
    }
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
  RecordAndRemoveHandled(entry, packet, handledLine, step, noted);
  step.applying.End(handledLine);
}

// Other clients may work this site too: a packet is applied by the one whose rename claims
// it. The claim is recorded before the rename, so that a client stopped in between finds it
// again. A refused rename of a packet still there concerns that packet alone (a server that
// will not rename a file another session is writing, a claim name longer than it allows), so
// the packet is passed over for this step; only an account that cannot rename at all has its
// packets applied unclaimed (one client per site), with one warning a step. False when the
// packet is not to be applied now.
bool TfmV7Client::ClaimPacket(const std::string& listed, const std::string& packet,
                              TReceiveStep& step, std::string& entry) {
  using Right = TRenameRight;
  if (step.renameRight == Right::Lacking) return true;
  const std::string claimed = listed + NewClaimSuffix();
  step.claims.Add(claimed);
  std::string refusal;
  if (ftp->Rename(listed, claimed, &refusal)) {
    entry = claimed;
    return true;
  }
  step.claims.Remove(claimed);
  // Taken by another client, the packet is gone from its own name; still there, the server
  // refused the rename itself.
  if (GoneFromServer(listed)) {
    ShowMsg("Skipped " + packet + ": taken by another client");
    return false;
  }
  if (step.renameRight == Right::Unknown) step.renameRight = AccountCanRename(step.folder);
  if (step.renameRight != Right::Lacking) {
    StepFailed("The FTP server refused to rename " + packet + " to claim it (" + refusal +
               "): passed over until the next cycle");
    return false;
  }
  ShowMsg("The FTP server refused to rename " + packet +
          ": the account lacks the rename right that claims a packet, so packets are applied "
          "unclaimed; only one client may receive for this site");
  return true;
}

// Whether the account may rename in folder at all, asked of a small file of this client's
// own there (uploaded, renamed, deleted) rather than of a packet, whose rename a server may
// refuse for reasons of that file alone. The file is named as no receiver lists, with the
// extension of the pings, which every site uploads; its name is this client's for as long as
// it runs, so that an account without the delete right is left one such file, not one a step.
// Only a lasting refusal (a 5xx reply) of the stored file's rename tells that the account
// lacks the right: a probe that cannot be stored (a full quota) or whose rename is refused for
// the time being (4xx) tells nothing, and the step decides nothing (Undecided).
TRenameRight TfmV7Client::AccountCanRename(const std::string& folder) {
  using Right = TRenameRight;
  if (probeDigits.empty()) probeDigits = NewClaimSuffix().substr(sizeof kClaimMark - 1);
  const std::string probe = folder + "rename-probe-" + probeDigits + ".txt";
  const std::string renamed = folder + "rename-probe-" + probeDigits + "-renamed.txt";
  const std::string local = std::string(kTransitFolder) + "rename-probe.txt";
  AtExit removeLocal([&] { RemoveQuietly(local); });
  WriteBytes(local,
             "Uploaded and renamed by a receiving client to learn whether it may rename.\r\n");
  try {
    ftp->Put(local, probe);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    ShowMsg("The FTP server refused to store " + probe + " (" + e.Detail +
            "), which would tell whether the account may rename");
    return Right::Undecided;
  }
  std::string refusal;
  const bool renames = ftp->Rename(probe, renamed, &refusal);
  try {
    RemoveFromServer(renames ? renamed : probe);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    probesLeft.insert(renames ? renamed : probe);
  }
  if (renames) return Right::Granted;
  return refusal.starts_with("5") ? Right::Lacking : Right::Undecided;
}

// A packet that fails to unpack may be one that a peer is still uploading under its own name.
// Its size on the server shows it while that differs from what was downloaded; the server's
// file times do not (servers give them in their own zone, or by a clock of their own). So a
// packet of the size downloaded is taken for cut for good only once it has failed with the
// same bytes (handledLine: digest and name) on two steps kSettleSeconds apart by this site's
// clock.
bool TfmV7Client::StillArriving(const std::string& entry, const std::string& localFile,
                                const std::string& handledLine, TReceiveStep& step) {
  try {
    const RemoteFileInfo info = ftp->FileInfo(entry);
    std::error_code ec;
    const uintmax_t downloaded = fs::file_size(localFile, ec);
    if (info.Size >= 0 && !ec && static_cast<uintmax_t>(info.Size) != downloaded) return true;
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;  // a server that will not tell the size
  }
  // Other bytes under this name failed before: the packet has changed since.
  const std::string name = FieldsAfter(handledLine, 1);
  step.unpackFailures.RemoveIf([&](const std::string& line) {
    return FieldsAfter(line, 2) == name && FieldsAfter(line, 1) != handledLine;
  });
  return SecondsSinceFirstSeen(step.unpackFailures, handledLine) < kSettleSeconds;
}

// A claim that no client finishes (its client stopped for good, or lost its record of the
// claim) would stand on the server unseen: one that has stood for a day by this site's clock
// is named every step, so that an operator can rename it back. Claims of this client's own,
// and unrecorded ones that it takes over, are its own to finish.
void TfmV7Client::NameAbandonedClaims(const std::vector<std::string>& claimed,
                                      const std::string& unrecorded, TReceiveStep& step) {
  std::vector<std::string> others;
  for (const std::string& claim : claimed)
    if (!step.claims.Contains(claim) && !claim.ends_with(unrecorded)) others.push_back(claim);
  TLineRecord seen(kClaimsSeenFile);
  // A claim that the listing leaves out may still stand: its line goes only once the server
  // says it has no such file (or the claim became this client's own).
  seen.RemoveIf([&](const std::string& line) {
    const std::string claim = FieldsAfter(line, 1);
    if (std::find(others.begin(), others.end(), claim) != others.end()) return false;
    return std::find(claimed.begin(), claimed.end(), claim) != claimed.end() ||
           GoneFromServer(claim);
  });
  for (const std::string& claim : others) {
    if (SecondsSinceFirstSeen(seen, claim) < kAbandonedClaimSeconds) continue;
    const std::string packet = claim.substr(0, claim.rfind(kClaimMark));
    StepFailed("Packet " + packet + " has stood claimed as " + claim +
               " for a day, and no client has finished it: if the client that claimed it "
               "will not run again, rename it back to " +
               packet);
  }
}

// A packet that was applied, or kept in the log folder, is recorded as handled before it
// leaves the server: while it stands there, this client removes it and never applies it
// again. When the record cannot be written (a folder in its way) the packet leaves the server
// all the same, and this client remembers it while it runs; one that can neither be recorded
// nor removed ends the step.
//
// The database's record of a new document that the packet saved (savedDocument) goes once the
// packet is recorded here, before it leaves the server: a stop after its delete would
// otherwise leave the row, and the same packet sent again on purpose would not be applied.
void TfmV7Client::RecordAndRemoveHandled(const std::string& entry, const std::string& packet,
                                         const std::string& handledLine, TReceiveStep& step,
                                         bool savedDocument) {
  try {
    step.handled.Add(handledLine);
    if (savedDocument) ForgetSavedDocument(*dbManager, handledLine);
  } catch (const std::exception& e) {
    handledUnsaved.insert(handledLine);
    const std::string why = std::string(" (") + e.what() + ")";
    if (!RemoveHandledPacket(entry, packet, handledLine, step))
      throw std::runtime_error(
          "Packet " + packet + " was handled but can neither be recorded in " +
          kHandledPacketsFile + why +
          " nor removed from the server: it is not applied again while this client runs; "
          "make the record writable, or remove the packet from the server");
    if (savedDocument) ForgetSavedDocument(*dbManager, handledLine);
    StepFailed("Packet " + packet + " could not be recorded as handled in " + kHandledPacketsFile +
               why + "; it has left the server");
    return;
  }
  RemoveHandledPacket(entry, packet, handledLine, step);
}

// A handled packet must leave the server; its line in the record of handled packets goes
// once it has. A refused delete leaves both: the packet is not applied again, and its removal
// is tried again next step. True when the packet is gone.
bool TfmV7Client::RemoveHandledPacket(const std::string& entry, const std::string& packet,
                                      const std::string& handledLine, TReceiveStep& step) {
  try {
    RemoveFromServer(entry);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    StepFailed("Packet " + packet + " could not be removed from the server (" + e.Detail +
               "): it is not applied again, and its removal is tried again next cycle");
    return false;
  }
  step.handled.Remove(handledLine);
  handledUnsaved.erase(handledLine);
  step.claims.Remove(entry);
  return true;
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
