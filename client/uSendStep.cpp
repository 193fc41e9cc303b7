// The send step of the cycle: the ping, and each queued packet of v7pkt uploaded and published
// once. It catches its own failures, shows them in the message pane and lets the cycle go on.

#include <cctype>
#include <ctime>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <utility>

#include "uAtExit.h"
#include "uCurl.h"
#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uPostDocument.h"
#include "uTransfer.h"
#include "uXDS.h"

namespace v7 {

namespace fs = std::filesystem;

namespace {

// A refusal that holds back one packet (its row or its note stays): said, and the step goes on
// with the next row.
class EPacketHeld : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The mark of a note of a packet stored under its own name (a folder without the rename
// right), in place of an upload mark: unique, as that is.
constexpr char kDirectMark[] = ".own-";
// The mark of a note of a packet that the server confirmed stored whole under its own name
// while its row was still queued (the first packet for a folder that refuses upload names):
// what remains is the removal of its row and its record, never another store.
constexpr char kStoredMark[] = ".stored-";

// A line of the record of publications, read.
struct PublishingNote {
  std::string digest, upload, remote;
  // Written by a client that uploaded every packet as <remote>.part: that name may be another
  // sender's upload of the same packet, so its absence says nothing of this client's rename.
  bool older = false;
  // Stored under its own name, in a folder without the rename right: no upload name was ever
  // stored; upload is only the key of its record.
  bool direct = false;
  // Stored whole under its own name already (kStoredMark).
  bool stored = false;
};

PublishingNote ReadNote(const std::string& line) {
  PublishingNote note;
  note.digest = line.substr(0, line.find(' '));
  const std::string rest = FieldsAfter(line, 1);
  if (rest.starts_with(kUploadMark) || rest.starts_with(kDirectMark) ||
      rest.starts_with(kStoredMark)) {
    note.remote = FieldsAfter(line, 2);
    note.upload = note.remote + rest.substr(0, rest.find(' '));
    note.direct = !rest.starts_with(kUploadMark);
    note.stored = rest.starts_with(kStoredMark);
  } else {
    note.remote = rest;
    note.upload = rest + ".part";
    note.older = true;
  }
  return note;
}

std::string NewUploadMark() { return kUploadMark + RandomDigits(); }

std::string KeptCopy(const std::string& digest) { return kPublishingCopy + digest + ".pkt"; }

std::string FolderOf(const std::string& remote) { return remote.substr(0, remote.rfind('/') + 1); }

int64_t FileSize(const std::string& path) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(path, ec);
  return ec ? -1 : static_cast<int64_t>(size);
}

// A 552 ("exceeded storage allocation", a file size limit) or a 452 ("insufficient storage")
// refuses this upload for its size or the room left, not for its name: the same packet is
// refused under any name.
bool RefusesTheUpload(const EFtpError& e) {
  return e.Detail.starts_with("552") || e.Detail.starts_with("452");
}

// What the server showed of name, in words for a message.
std::string Showing(const ShownFile& shown, const std::string& name) {
  switch (shown.Presence) {
    case FilePresence::Present:
      return shown.Size >= 0
                 ? "the server shows " + name + " with " + std::to_string(shown.Size) + " bytes"
                 : "the server lists " + name + " without telling its size";
    case FilePresence::Absent:
      return "the server has no " + name + " (" + shown.Answer + ")";
    case FilePresence::Unknown:
      break;
  }
  return "the server does not show " + name + " (" + shown.Answer + ")";
}

// Whether the server shows remote with the packet's bytes: its size (when size is known), or
// else a download of it with the packet's digest. shown tells what it showed.
bool ShowsPacket(FtpSession& ftp, const std::string& remote, int64_t size,
                 const std::string& digest, ShownFile& shown) {
  shown = ftp.Shown(remote);
  if (shown.Presence != FilePresence::Present) return false;
  if (shown.Size >= 0 && size >= 0) return shown.Size == size;
  const std::string fetched = std::string(kTransitFolder) + "publishing.pkt";
  AtExit removeFetched([&] { RemoveQuietly(fetched); });
  try {
    ftp.Get(remote, fetched);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    shown.Answer = e.Detail;
    return false;
  }
  return Digest(fetched) == digest;
}

// Drops a note and, when no other note names the same bytes, its copy.
void Forget(TLineRecord& publishing, const std::string& line) {
  publishing.Remove(line);
  const std::string digest = line.substr(0, line.find(' '));
  for (const std::string& other : publishing.Lines())
    if (other.starts_with(digest + " ")) return;
  RemoveQuietly(KeptCopy(digest));
}

bool Unrenamed(const TLineRecord& unrenamed, const std::string& folder) {
  for (const std::string& line : unrenamed.Lines())
    if (FieldsAfter(line, 1) == folder) return true;
  return false;
}

// Whether a refusal lasts: a 5xx reply that is not a busy server's (Windows servers answer
// "550 The process cannot access the file because it is being used by another process" for a
// file another session holds open). A 4xx, or a busy answer, passes.
bool Lasting(const std::string& reply) {
  if (!reply.starts_with("5")) return false;
  std::string lower = reply;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower.find("another process") == std::string::npos &&
         lower.find("in use") == std::string::npos && lower.find("busy") == std::string::npos;
}

// A packet stored under its own name while its row was queued, whose row another removed.
std::string StoredButNotOwn(const std::string& file, const std::string& remote) {
  return "Packet " + file + " was stored as " + remote + ", but its row left v7pkt before " +
         "this client removed it (another client of the site sent it, or the site's own " +
         "programs removed it): the other site may receive it twice";
}

// A refused data connection (PORT, EPRT) refuses every transfer of the session, not the file.
bool DataConnectionRefused(const EFtpError& e) {
  return e.Detail.starts_with("the server refused the data connection");
}

}  // namespace

// What one send step works with.
struct TSendStep {
  TLineRecord publishing{kPublishingFile};
  TLineRecord unrenamed{kUnrenamedFoldersFile};
  TLineRecord left{kUploadsLeftFile};
  // The packets that a lost connection held back, each with what the connection answered.
  std::vector<std::string> waiting;
};

namespace {

// The kept copies that no note names: left by a stop between a note's drop and its copy's.
void RemoveUnnamedCopies(const TLineRecord& publishing) {
  std::error_code ec;
  const std::string prefix = fs::path(kPublishingCopy).filename().string();
  for (const auto& entry : fs::directory_iterator(kTransitFolder, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with(prefix) || !name.ends_with(".pkt")) continue;
    const std::string digest = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    bool named = false;
    for (const std::string& line : publishing.Lines())
      named = named || line.starts_with(digest + " ");
    if (!named) RemoveQuietly(entry.path().string());
  }
}

}  // namespace

void TfmV7Client::SendPackets() {
  ShowMsg("Sending");
  std::unique_ptr<TXDS> packets;
  const int failuresBefore = failures;
  bool failed = false;
  try {
    std::string err;
    ConnectProject(clientLogin, err);
    RaiseOnError(err);
    const std::string projectName = project ? project->Name : clientLogin;
    // Made just now: the notes that an earlier version left have no record in it.
    const bool recordsNew =
        EnsureClientTable(*dbManager, projectName, kSentTable, kSentTableColumns);
    // The ping only tells the office that the site is alive: a server that refuses it (no
    // v7/pings/, an account that may not replace a file) must not hold back the packets. A
    // refused login or data connection refuses the packets too.
    try {
      SendPing();
    } catch (const EFtpError& e) {
      if (!e.Refused || !ftp->SignInRefusal.empty() || DataConnectionRefused(e)) throw;
      StepFailed(std::string(e.what()) + ": the queued packets are sent all the same");
    }
    CreateWorkFolders();
    TSendStep step;
    // A day after a folder refused upload names they are tried there again: the account's
    // rights may have changed.
    const std::time_t now = std::time(nullptr);
    step.unrenamed.RemoveIf([&](const std::string& line) {
      const std::time_t found = ParseUtcStamp(line.substr(0, line.find(' ')));
      return found < 0 || found > now || now - found >= 24 * 60 * 60;
    });
    packets = dbManager->NewQuery();
    FinishPublications(step, *packets, recordsNew);
    RemoveUnnamedCopies(step.publishing);
    for (const std::string& upload : std::vector<std::string>(step.left.Lines()))
      RemoveUpload(upload, step);
    packets->GetSQL().SetText("select name, pkt, siteno from v7pkt order by pktdate");
    packets->Open();
    std::vector<std::string>& waiting = step.waiting;
    while (!packets->Eof()) {
      const std::string name = packets->FieldByName("name").Value;
      const std::string siteNo = packets->FieldByName("siteno").Value;
      std::string fault = NameFault(name);
      if (fault.empty()) fault = FileNameFault(name + ".pkt");  // the row's file here
      // The destination names the server's folder: it may not lead out of v7/.
      if (const std::string folder = NameFault("site" + TwoDigits(siteNo));
          fault.empty() && !folder.empty())
        fault = "its siteno \"" + PrintableName(siteNo) + "\" names no folder (" + folder + ")";
      if (!fault.empty()) {
        StepFailed("The row \"" + PrintableName(name) + "\" of v7pkt is not sent: " + fault +
                   "; it stays queued");
        packets->Next();
        continue;
      }
      const std::string file = name + ".pkt";
      // Written afresh from the row whenever it is sent.
      AtExit removeLocal([&] { RemoveQuietly(file); });
      WriteBytes(file, packets->FieldByName("pkt").Value);
      const std::string remote = "v7/site" + TwoDigits(siteNo) + "/send/" + file;
      try {
        if (!ftp->Connected()) ftp->Connect();
      } catch (const EFtpError& e) {
        if (waiting.empty() || e.Refused || StopRequested()) throw;
        waiting.push_back("the rows from " + file + " on (" + e.Detail + ")");
        break;
      }
      ShowMsg("Uploading file " + file);
      try {
        PublishPacket(file, remote, name, siteNo, step);
      } catch (const EPacketHeld& e) {
        StepFailed(e.what());
      } catch (const EFtpError& e) {
        // The connection was lost during this packet: what it left (its row, or its note) is
        // taken up in the next step; the rows after it go on a new connection.
        if (e.Refused || StopRequested()) throw;
        ftp->Disconnect();
        waiting.push_back(file + " (" + e.Detail + ")");
      }
      packets->Next();
    }
    packets.reset();
    CloseConnection();
    if (!waiting.empty()) {
      std::string list;
      for (const std::string& one : waiting) list += (list.empty() ? "" : ", ") + one;
      StepFailed("The connection to the FTP server was lost while these packets were sent: " +
                 list + "; they are sent in the next step");
    }
  } catch (const std::exception& e) {
    failed = true;
    if (const auto* ftpError = dynamic_cast<const EFtpError*>(&e);
        ftpError && DataConnectionRefused(*ftpError)) {
      StepFailed(std::string(e.what()) + ": nothing is sent, and the queued packets wait");
    } else {
      StepFailed(e);
    }
    packets.reset();
    CloseConnection();
    ftp->Disconnect();
  }
  // Said only of a step that sent what it found.
  if (!failed && failures == failuresBefore) ShowMsg("Send completed");
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

// A queued packet is published once, and only by the sender that removed its row from
// v7pkt. It is noted (its bytes kept beside the note), uploaded under a name of that upload's
// own, which no receiver lists; then its row is deleted, matched by its name, destination
// and bytes, and in the same transaction the upload is recorded in kSentTable as this
// client's; only then is it renamed to its own name. A stop or a failure anywhere leaves
// either its row (it is uploaded again) or the note and the record (the next step publishes
// it), never a published packet and its row. A note whose row is gone without that record
// was removed by another (a second client of the site, the site's own programs): its upload
// goes. A packet appears under its own name only once it is whole, too.
//
// Where the account may not rename (or store an upload name) in a folder, the row is
// deleted and recorded first, and the packet stored under its own name from the kept copy:
// the server's confirmation of the whole store publishes it.
void TfmV7Client::PublishPacket(const std::string& file, const std::string& remote,
                                const std::string& name, const std::string& siteNo,
                                TSendStep& step) {
  const std::string folder = FolderOf(remote);
  const std::string digest = Digest(file);
  const bool direct = Unrenamed(step.unrenamed, folder);
  const std::string mark = direct ? kDirectMark + RandomDigits() : NewUploadMark();
  const std::string uploading = remote + mark;
  std::string line = digest + " " + mark + " " + remote;
  // The key of this client's record of the row's removal.
  std::string recordKey = uploading;
  // Noted before the upload: an upload that a stop leaves is known to the next step.
  try {
    const std::string copy = KeptCopy(digest);
    if (!fs::exists(copy) && !CopyNew(file, copy))
      throw std::runtime_error("its bytes cannot be kept as " + copy);
    step.publishing.Add(line);
  } catch (const std::exception& e) {
    throw std::runtime_error("Packet " + file + " is not sent: its publication cannot be " +
                             "noted in " + kPublishingFile + " (" + e.what() + ")");
  }
  // stored: the packet stands under its own name already, and a receiver may have taken it.
  const auto dequeue = [&](bool stored = false) {
    const std::string outcome =
        !stored ? "it is not published, and is sent again while its row stays"
        : ReadNote(line).stored
            ? "it was stored as " + remote +
                  " all the same, and its row is removed in the next step"
            : "it was stored as " + remote + " all the same, and its row stays queued: the " +
                  "other site may receive it twice";
    int removed = 0;
    try {
      removed = Dequeue(name, siteNo, digest, recordKey);
    } catch (const std::exception& e) {
      // Whether the delete took effect is told by the record at the start of the next step.
      throw EDatabaseError("Packet " + file + " could not be removed from v7pkt (" + e.what() +
                           "): " + outcome);
    }
    if (removed < 0)
      throw EDatabaseError("Packet " + file + " was uploaded but its row could not be removed " +
                           "from v7pkt (0 rows deleted: a rule of the site's database keeps " +
                           "it): " + outcome);
    return removed > 0;
  };
  const auto notOwn = [&] {
    StepFailed("Packet " + file + " is not published by this client: its row left v7pkt before " +
               "this client removed it (another client of the site sent it, or the site's own " +
               "programs removed it)");
  };
  if (!direct) {
    std::string nameRefused;
    try {
      ftp->Put(file, uploading);
    } catch (const EFtpError& e) {
      // A session that failed leaves the note: the next step removes what was stored.
      if (!e.Refused || DataConnectionRefused(e)) throw;
      RemoveUpload(uploading, step);
      // Only a lasting refusal of the upload name, which no other name would meet, says that
      // the folder takes none: a busy or passing answer holds back this packet alone.
      if (RefusesTheUpload(e) || !Lasting(e.Detail)) {
        Forget(step.publishing, line);
        throw EPacketHeld("Packet " + file + " is not sent: the FTP server refused its upload " +
                          "to " + uploading + " (" + e.Detail + "); its row stays queued");
      }
      nameRefused = "The FTP server refused to store " + uploading + " (" + e.Detail + ")";
    }
    if (nameRefused.empty()) {
      if (!dequeue()) {
        RemoveUpload(uploading, step);
        Forget(step.publishing, line);
        notOwn();
        return;
      }
      FinishPublication(line, step);
      return;
    }
    // Stored under its own name while its row is queued: a folder that refuses upload names
    // may refuse any other name too (it is missing, the account may not store there).
    try {
      StoreUnderOwnName(file, remote);
    } catch (const EPacketHeld&) {
      Forget(step.publishing, line);
      throw;
    }
    // Noted as stored before the row's removal: a stop or a failure of the site's database
    // before it leaves a note that removes the row at the next step, with no second store.
    try {
      const std::string stored = digest + " " + kStoredMark + RandomDigits() + " " + remote;
      step.publishing.Add(stored);
      const std::string uploaded = std::exchange(line, stored);
      recordKey = ReadNote(line).upload;
      Forget(step.publishing, uploaded);
    } catch (const std::exception&) {
      // Unnoted, the row is removed below all the same; only a stop in between sends it again.
    }
    WarnUnrenamed(nameRefused, folder, step);
    if (dequeue(true)) {
      Published(line, step);
      return;
    }
    Forget(step.publishing, line);
    StepFailed(StoredButNotOwn(file, remote));
    return;
  }
  if (!dequeue()) {
    Forget(step.publishing, line);
    notOwn();
    return;
  }
  FinishPublication(line, step);
}

// Deletes the queued row of name, destination siteNo and bytes of digest, and records upload
// in kSentTable, in one transaction: 1 when this client removed the row, 0 when no such row is
// queued, -1 when the site's database kept it. The row's handle
// is read in that transaction, so no handle of another row is met.
int TfmV7Client::Dequeue(const std::string& name, const std::string& siteNo,
                         const std::string& digest, const std::string& upload) {
  const std::string projectName = project ? project->Name : clientLogin;
  const std::string identity = QueuedPacketIdentity();
  std::unique_ptr<TXDS> q = dbManager->NewQuery();
  dbManager->StartTransaction(projectName);
  try {
    q->GetSQL().SetText("select " + identity + " as " + kQueuedRowColumn +
                        ", pkt, siteno from v7pkt where name = :n" +
                        (DbKind == "postgre" ? " for update" : ""));
    q->ParamByName("n").SetAsString(name);
    q->Open();
    std::string row;
    for (; !q->Eof() && row.empty(); q->Next())
      if (BytesDigest(q->FieldByName("pkt").Value) == digest &&
          TwoDigits(q->FieldByName("siteno").Value) == TwoDigits(siteNo))
        row = q->FieldByName(kQueuedRowColumn).Value;
    q->Close();
    if (row.empty()) {
      dbManager->Rollback(projectName);
      return 0;
    }
    q->GetSQL().SetText("delete from v7pkt where " + identity + " = '" + Doubled(row) + "'");
    q->ExecSQL();
    // A rule of the site's database (a trigger) may keep the row: it is still queued.
    if (q->RowsAffected() <= 0) {
      dbManager->Rollback(projectName);
      return -1;
    }
    q->GetSQL().SetText(std::string("insert into ") + kSentTable + " (upload) values (:u)");
    q->ParamByName("u").SetAsString(upload);
    q->ExecSQL();
    dbManager->Commit(projectName);
  } catch (...) {
    try {
      dbManager->Rollback(projectName);
    } catch (const std::exception&) {
    }
    throw;
  }
  // A sent row that came back after a power cut would be sent again.
  dbManager->MakeDurable();
  return 1;
}

// Whether this client's record of upload stands in kSentTable: its own delete of the row.
bool TfmV7Client::Recorded(const std::string& upload) {
  std::unique_ptr<TXDS> q = dbManager->NewQuery();
  q->GetSQL().SetText(std::string("select count(*) as n from ") + kSentTable +
                      " where upload = :u");
  q->ParamByName("u").SetAsString(upload);
  q->Open();
  const bool recorded = q->FieldByName("n").Value != "0";
  q->Close();
  return recorded;
}

// A noted packet is published: its note goes, and then its record (a record without a note
// is never read again).
void TfmV7Client::Published(const std::string& line, TSendStep& step) {
  Forget(step.publishing, line);
  const PublishingNote note = ReadNote(line);
  try {
    std::unique_ptr<TXDS> q = dbManager->NewQuery();
    q->GetSQL().SetText(std::string("delete from ") + kSentTable + " where upload = :u");
    q->ParamByName("u").SetAsString(note.upload);
    q->ExecSQL();
  } catch (const std::exception& e) {
    DoTrace(std::string("# 1#") + kSentTable + " keeps " + note.upload + " (" + e.what() + ")");
  }
}

// Stores a packet under its own name and raises (EPacketHeld) unless the server confirms the
// whole store: what a receiver may take at once is no longer there to be looked at.
void TfmV7Client::StoreUnderOwnName(const std::string& file, const std::string& remote) {
  try {
    ftp->Put(file, remote);
  } catch (const EFtpError& e) {
    if (!e.Refused || DataConnectionRefused(e)) throw;
    // What a refused upload stored is cut: a receiver must not meet it.
    std::string left;
    if (RefusesTheUpload(e)) {
      try {
        RemoveFromServer(remote);
      } catch (const EFtpError& removal) {
        if (!removal.Refused) throw;
        left = removal.Detail;
      }
    }
    throw EPacketHeld("Packet " + file + " is not sent: the FTP server refused its upload to " +
                      remote + " (" + e.Detail + ")" +
                      (left.empty() ? "" : "; what it stored stays (" + left + ")") +
                      "; it is tried again in the next step");
  }
}

// Publishes a noted upload whose row this client removed: renames it to its own name, and
// drops the note once the server shows the packet there (in a folder without the rename right:
// stores it there). Raises EPacketHeld while it stays unpublished (the server refuses its
// rename for the time being, or answers without showing it): the note stays for the next step.
void TfmV7Client::FinishPublication(const std::string& line, TSendStep& step) {
  const PublishingNote note = ReadNote(line);
  // The server confirmed its whole store: a receiver may have taken it since.
  if (note.stored) {
    Published(line, step);
    return;
  }
  // The packet's bytes: kept beside the note, or (a note of an older client) its upload's.
  std::string source = KeptCopy(note.digest);
  const std::string fetched = std::string(kTransitFolder) + "publishing.pkt";
  AtExit removeFetched([&] { RemoveQuietly(fetched); });
  if (!fs::exists(source) || Digest(source) != note.digest) source.clear();
  const int64_t size = source.empty() ? -1 : FileSize(source);
  if (!ftp->Connected()) ftp->Connect();
  const std::string held =
      " (its row has left the queue: " + std::string(kPublishingFile) + " holds it)";
  if (note.direct) {
    ShownFile shown;
    if (source.empty())
      throw EPacketHeld("Packet " + note.remote + " is not published yet: its bytes are no " +
                        "longer kept as " + KeptCopy(note.digest) + held);
    // A store that a stop cut short, or one never made, is made (again) from the kept copy.
    if (!ShowsPacket(*ftp, note.remote, size, note.digest, shown)) {
      try {
        StoreUnderOwnName(source, note.remote);
      } catch (const EPacketHeld& e) {
        throw EPacketHeld(std::string(e.what()) + held);
      }
    }
    Published(line, step);
    return;
  }
  ShownFile upload = ftp->Shown(note.upload);
  // Never renamed while it does not hold the whole packet (an upload cut by a stop or a lost
  // connection): stored again whole from the kept copy first.
  if (!note.older && upload.Presence == FilePresence::Present && upload.Size >= 0 && size >= 0 &&
      upload.Size != size) {
    try {
      ftp->Put(source, note.upload);
    } catch (const EFtpError& e) {
      if (!e.Refused || DataConnectionRefused(e)) throw;
      throw EPacketHeld("Packet " + note.remote + " is not published yet: its upload " +
                        note.upload + " holds " + std::to_string(upload.Size) + " of " +
                        std::to_string(size) + " bytes, and the FTP server refused to store " +
                        "it again (" + e.Detail + ")" + held);
    }
    upload = ftp->Shown(note.upload);
  }
  std::string refusal;
  const bool renamed = ftp->Rename(note.upload, note.remote, &refusal);
  ShownFile published;
  if (ShowsPacket(*ftp, note.remote, size, note.digest, published)) {
    Published(line, step);
    return;
  }
  const ShownFile after = ftp->Shown(note.upload);
  // Only this client renames an upload of that name: once the server has it no more, the
  // rename took it (before a stop or a lost reply), and a receiver may have taken the packet
  // since.
  if (!note.older && after.Presence == FilePresence::Absent) {
    if (!renamed)
      ShowMsg("The upload " + note.upload + " was renamed to " + note.remote + " already");
    Published(line, step);
    return;
  }
  if (renamed)
    throw EPacketHeld("The FTP server answered the rename of " + note.upload + " to " +
                      note.remote + " as done, but " + Showing(published, note.remote) + " and " +
                      Showing(after, note.upload) + ": it is renamed again in the next step");
  if (source.empty() && after.Presence == FilePresence::Present) {
    try {
      ftp->Get(note.upload, fetched);
      if (Digest(fetched) == note.digest) source = fetched;
    } catch (const EFtpError& e) {
      if (!e.Refused) throw;
    }
  }
  const bool whole = after.Presence == FilePresence::Present && !source.empty() &&
                     (after.Size < 0 ? source == fetched : after.Size == FileSize(source));
  if (!Lasting(refusal) || !whole)
    throw EPacketHeld("Packet " + note.remote + " is not published yet: the FTP server refused " +
                      "to rename " + note.upload + " to it (" + refusal + "), and " +
                      Showing(after, note.upload) + ": it is tried again in the next step");
  // The server refuses for good to rename an upload that it shows whole: the account may not
  // rename in that folder. The packet goes under its own name, as such accounts send it.
  const std::string renameRefused = "The FTP server refused to rename " + note.upload + " to " +
                                    note.remote + " (" + refusal + ")";
  try {
    StoreUnderOwnName(source, note.remote);
  } catch (const EPacketHeld& e) {
    throw EPacketHeld(renameRefused + "; " + e.what() + held);
  }
  WarnUnrenamed(renameRefused, FolderOf(note.remote), step);
  RemoveUpload(note.upload, step);
  Published(line, step);
}

// Publications that an earlier step noted and did not finish. One whose upload this client
// recorded when it removed the row is published now. Otherwise the row was not removed by
// this client: still queued (the delete did not take effect), it is sent below as any other;
// gone, another removed it. Either way its upload goes. Notes of a client before the record
// (written as "<md5> <remote>", or found when the record's table is new) are published when
// their row is gone, as that client did.
void TfmV7Client::FinishPublications(TSendStep& step, TXDS& queue, bool recordsNew) {
  for (const std::string& line : std::vector<std::string>(step.publishing.Lines())) {
    const PublishingNote note = ReadNote(line);
    std::string folder, file;
    SplitPath(note.remote, folder, file);
    bool own = !note.older && !recordsNew && Recorded(note.upload);
    bool queued = false;
    if (!own) {
      queue.GetSQL().SetText("select pkt, siteno from v7pkt where name = :n");
      queue.ParamByName("n").SetAsString(file.substr(0, file.size() - 4));
      queue.Open();
      for (; !queue.Eof() && !queued; queue.Next())
        queued = BytesDigest(queue.FieldByName("pkt").Value) == note.digest &&
                 "v7/site" + TwoDigits(queue.FieldByName("siteno").Value) + "/send/" + file ==
                     note.remote;
      queue.Close();
      own = !queued && (note.older || recordsNew);
    }
    if (note.stored && !own) {
      // Stored whole while its row was queued, and stopped before the row's removal: the row
      // goes now, and nothing is stored again.
      const std::string siteNo = note.remote.substr(7, note.remote.find('/', 7) - 7);
      const std::string name = file.substr(0, file.size() - 4);
      const int removed = queued ? Dequeue(name, siteNo, note.digest, note.upload) : 0;
      if (removed < 0)
        throw EDatabaseError("Packet " + file + " was stored as " + note.remote + ", but its " +
                             "row could not be removed from v7pkt (0 rows deleted: a rule of " +
                             "the site's database keeps it): it is removed in the next step");
      if (removed > 0) {
        Published(line, step);
        continue;
      }
      Forget(step.publishing, line);
      StepFailed(StoredButNotOwn(file, note.remote));
      continue;
    }
    if (!own) {
      if (!ftp->Connected()) ftp->Connect();
      // The upload name of an older client's note may be another sender's upload now.
      if (!note.older && !note.direct) RemoveUpload(note.upload, step);
      Forget(step.publishing, line);
      if (!queued)
        StepFailed("Packet " + file + " is not published by this client: its row left v7pkt " +
                   "without this client's record of its removal (another client of the site " +
                   "sent it, or the site's own programs removed it)");
      continue;
    }
    try {
      FinishPublication(line, step);
    } catch (const EPacketHeld& e) {
      StepFailed(e.what());
    } catch (const EFtpError& e) {
      // As during an upload: the note waits for the next step, the others go on.
      if (e.Refused || StopRequested() || !ftp->SignInRefusal.empty()) throw;
      ftp->Disconnect();
      step.waiting.push_back(file + " (" + e.Detail + ")");
    }
  }
}

// Removes an upload of this client's own from the server. One that the server will not let
// go is said, and noted in kUploadsLeftFile to be removed at a later step; one that is gone
// (never stored: a stop before the upload began) is not named.
void TfmV7Client::RemoveUpload(const std::string& upload, TSendStep& step) {
  if (!ftp->Connected()) ftp->Connect();
  try {
    RemoveFromServer(upload);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    ShowMsg("The upload " + upload + " is left on the server, which refused to remove it (" +
            e.Detail + "); it is tried again in the next step");
    try {
      step.left.Add(upload);
    } catch (const std::exception&) {
      // Unrecorded, it is named no more: one file left where the account may not remove it.
    }
    return;
  }
  step.left.Remove(upload);
}

// Notes a folder where packets go under their own names, with one warning when it is new.
void TfmV7Client::WarnUnrenamed(const std::string& refusal, const std::string& folder,
                                TSendStep& step) {
  if (Unrenamed(step.unrenamed, folder)) return;
  const std::string text =
      refusal + ": packets for " + folder +
      " are uploaded under their own names for a day, and a receiver may meet one half-written";
  ShowMsg(text);
  view.ReportProblem(text);
  try {
    step.unrenamed.Add(UtcStamp(std::time(nullptr)) + " " + folder);
  } catch (const std::exception&) {
    // Unrecorded, the next step tries an upload name there again: one more file left behind
    // where the account may not remove it, nothing lost.
  }
}

}  // namespace v7
