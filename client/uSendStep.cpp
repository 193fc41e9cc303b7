// The send step of the cycle: the ping, and each queued packet of v7pkt uploaded and published
// once. It catches its own failures, shows them in the message pane and lets the cycle go on.

#include <ctime>
#include <filesystem>
#include <functional>
#include <stdexcept>

#include "uAtExit.h"
#include "uDBManager.h"
#include "uGeneralFunctions.h"
#include "uMain.h"
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

// A line of the record of publications, read.
struct PublishingNote {
  std::string digest, upload, remote;
  // Written by a client that uploaded every packet as <remote>.part: that name may be another
  // sender's upload of the same packet, so its absence says nothing of this client's rename.
  bool older = false;
};

PublishingNote ReadNote(const std::string& line) {
  PublishingNote note;
  note.digest = line.substr(0, line.find(' '));
  const std::string rest = FieldsAfter(line, 1);
  if (rest.starts_with(kUploadMark)) {
    note.remote = FieldsAfter(line, 2);
    note.upload = note.remote + rest.substr(0, rest.find(' '));
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

// Removes a file that this client stored, where the account may: the server's words when it
// may not ("" when removed).
std::string RemoveStored(FtpSession& ftp, const std::string& remote) {
  try {
    ftp.Delete(remote);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    return e.Detail;
  }
  return "";
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

}  // namespace

void TfmV7Client::SendPackets() {
  ShowMsg("Sending");
  std::unique_ptr<TXDS> packets;
  std::unique_ptr<TXDS> remover;
  try {
    std::string err;
    ConnectProject(clientLogin, err);
    RaiseOnError(err);
    // The ping only tells the office that the site is alive: a server that refuses it (no
    // v7/pings/, an account that may not replace a file) must not hold back the packets.
    try {
      SendPing();
    } catch (const EFtpError& e) {
      if (!e.Refused) throw;
      StepFailed(std::string(e.what()) + ": the queued packets are sent all the same");
    }
    CreateWorkFolders();
    TLineRecord publishing(kPublishingFile);
    TLineRecord unrenamed(kUnrenamedFoldersFile);
    // A day after a folder refused upload names they are tried there again: the account's
    // rights may have changed.
    const std::time_t now = std::time(nullptr);
    unrenamed.RemoveIf([&](const std::string& line) {
      const std::time_t found = ParseUtcStamp(line.substr(0, line.find(' ')));
      return found < 0 || found > now || now - found >= 24 * 60 * 60;
    });
    packets = dbManager->NewQuery();
    remover = dbManager->NewQuery();
    FinishPublications(publishing, unrenamed, *packets);
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
      try {
        PublishPacket(file, remote, publishing, unrenamed, dequeue);
      } catch (const EPacketHeld& e) {
        StepFailed(e.what());
      }
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

// A queued packet is published once. It is uploaded under a name of that upload's own, which
// no receiver lists, the publication is noted (its bytes kept beside the note), its row is
// deleted, and only then is it renamed to its own name: a stop or a failure anywhere leaves
// either its row (it is uploaded again) or the note (the next step publishes it), never a
// published packet and its row. A packet appears under its own name only once it is whole,
// too: a receiver that took a file still being written would apply a cut packet, or none.
//
// A packet is published when the server shows its own name with its size or bytes; any other
// answer leaves the note for the next step. Where the account may not rename (or store an
// upload name) in a folder, packets go there under their own names, and each row leaves the
// queue once the server shows its packet: a stop between the two sends it again.
void TfmV7Client::PublishPacket(const std::string& file, const std::string& remote,
                                TLineRecord& publishing, TLineRecord& unrenamed,
                                const std::function<int()>& dequeue) {
  const std::string folder = FolderOf(remote);
  const auto notRemoved = [&](int deleted, const std::string& fate) {
    return EDatabaseError("Packet " + file + " was uploaded but its row could not be removed " +
                          "from v7pkt (" + std::to_string(deleted) + " rows deleted): " + fate);
  };
  std::string nameRefused;
  if (!Unrenamed(unrenamed, folder)) {
    const std::string digest = Digest(file);
    const std::string mark = NewUploadMark();
    const std::string uploading = remote + mark;
    const std::string line = digest + " " + mark + " " + remote;
    // Noted before the upload: an upload that a stop leaves is known to the next step, which
    // removes it (its row is still queued).
    try {
      const std::string copy = KeptCopy(digest);
      if (!fs::exists(copy) && !CopyNew(file, copy))
        throw std::runtime_error("its bytes cannot be kept as " + copy);
      publishing.Add(line);
    } catch (const std::exception& e) {
      throw std::runtime_error("Packet " + file + " is not sent: its publication cannot be " +
                               "noted in " + kPublishingFile + " (" + e.what() + ")");
    }
    try {
      ftp->Put(file, uploading);
    } catch (const EFtpError& e) {
      // A session that failed leaves the note: the next step removes what was stored.
      if (!e.Refused) throw;
      const std::string left = RemoveStored(*ftp, uploading);
      Forget(publishing, line);
      if (RefusesTheUpload(e))
        throw EPacketHeld("Packet " + file + " is not sent: the FTP server refused its upload to " +
                          uploading + " (" + e.Detail + ")" +
                          (left.empty() ? "" : "; what it stored stays (" + left + ")") +
                          "; its row stays queued");
      // Perhaps the name: some servers take only known extensions.
      nameRefused = "The FTP server refused to store " + uploading + " (" + e.Detail + ")";
    }
    if (nameRefused.empty()) {
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
        // own programs): not this client's to publish. The upload is this client's own.
        const std::string left = RemoveStored(*ftp, uploading);
        Forget(publishing, line);
        throw notRemoved(
            deleted,
            "it is not published" +
                (left.empty() ? "" : "; its upload " + uploading + " stays (" + left + ")"));
      }
      FinishPublication(line, publishing, unrenamed);
      return;
    }
  }
  StoreUnderOwnName(file, remote);
  if (!nameRefused.empty()) WarnUnrenamed(nameRefused, folder, unrenamed);
  const int deleted = dequeue();
  if (deleted != 1) throw notRemoved(deleted, "it will be sent again");
}

// Stores a packet under its own name and raises (EPacketHeld, its row staying queued) unless
// the server then shows it with the packet's bytes.
void TfmV7Client::StoreUnderOwnName(const std::string& file, const std::string& remote) {
  try {
    ftp->Put(file, remote);
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    // What a refused upload stored is cut: a receiver must not meet it.
    const std::string left = RefusesTheUpload(e) ? RemoveStored(*ftp, remote) : "";
    throw EPacketHeld("Packet " + file + " is not sent: the FTP server refused its upload to " +
                      remote + " (" + e.Detail + ")" +
                      (left.empty() ? "" : "; what it stored stays (" + left + ")") +
                      "; it is tried again in the next step");
  }
  ShownFile shown;
  if (!ShowsPacket(*ftp, remote, FileSize(file), Digest(file), shown))
    throw EPacketHeld("Packet " + file + " was stored as " + remote + ", but " +
                      Showing(shown, remote) + ": it is sent again in the next step");
}

// Publishes a noted upload whose row is gone: renames it to its own name, and drops the note
// once the server shows the packet there. Raises EPacketHeld while it stays unpublished (the
// server refuses its rename for the time being, or answers without showing it): the note
// stays for the next step.
void TfmV7Client::FinishPublication(const std::string& line, TLineRecord& publishing,
                                    TLineRecord& unrenamed) {
  const PublishingNote note = ReadNote(line);
  // The packet's bytes: kept beside the note, or (a note of an older client) its upload's.
  std::string source = KeptCopy(note.digest);
  const std::string fetched = std::string(kTransitFolder) + "publishing.pkt";
  AtExit removeFetched([&] { RemoveQuietly(fetched); });
  if (!fs::exists(source) || Digest(source) != note.digest) source.clear();
  const int64_t size = source.empty() ? -1 : FileSize(source);
  if (!ftp->Connected()) ftp->Connect();
  std::string refusal;
  const bool renamed = ftp->Rename(note.upload, note.remote, &refusal);
  ShownFile published;
  if (ShowsPacket(*ftp, note.remote, size, note.digest, published)) {
    Forget(publishing, line);
    return;
  }
  const ShownFile upload = ftp->Shown(note.upload);
  // Only this client renames an upload of that name: once the server has it no more, the
  // rename took it (before a stop or a lost reply), and a receiver may have taken the packet
  // since.
  if (!note.older && upload.Presence == FilePresence::Absent) {
    if (!renamed)
      ShowMsg("The upload " + note.upload + " was renamed to " + note.remote + " already");
    Forget(publishing, line);
    return;
  }
  if (renamed)
    throw EPacketHeld("The FTP server answered the rename of " + note.upload + " to " +
                      note.remote + " as done, but " + Showing(published, note.remote) + " and " +
                      Showing(upload, note.upload) + ": it is renamed again in the next step");
  if (source.empty() && upload.Presence == FilePresence::Present) {
    try {
      ftp->Get(note.upload, fetched);
      if (Digest(fetched) == note.digest) source = fetched;
    } catch (const EFtpError& e) {
      if (!e.Refused) throw;
    }
  }
  const bool whole = upload.Presence == FilePresence::Present && !source.empty() &&
                     (upload.Size < 0 ? source == fetched : upload.Size == FileSize(source));
  if (!refusal.starts_with("5") || !whole)
    throw EPacketHeld("Packet " + note.remote + " is not published yet: the FTP server refused " +
                      "to rename " + note.upload + " to it (" + refusal + "), and " +
                      Showing(upload, note.upload) + ": it is tried again in the next step");
  // The server refuses for good to rename an upload that it shows whole: the account may not
  // rename in that folder. The packet goes under its own name, as such accounts send it.
  const std::string renameRefused = "The FTP server refused to rename " + note.upload + " to " +
                                    note.remote + " (" + refusal + ")";
  try {
    StoreUnderOwnName(source, note.remote);
  } catch (const EPacketHeld& e) {
    throw EPacketHeld(renameRefused + "; " + e.what() +
                      " (its row has left the queue: " + kPublishingFile + " holds it)");
  }
  WarnUnrenamed(renameRefused, FolderOf(note.remote), unrenamed);
  const std::string left = RemoveStored(*ftp, note.upload);
  if (!left.empty())
    ShowMsg("The upload " + note.upload + " is left on the server, which refused to remove it (" +
            left + ")");
  Forget(publishing, line);
}

// Publications that an earlier step noted and did not finish. A row still queued with that
// name, destination and bytes was not deleted: its upload is not published, and goes; the row
// is sent below as any other. Otherwise the row is gone and its upload is published now.
void TfmV7Client::FinishPublications(TLineRecord& publishing, TLineRecord& unrenamed, TXDS& queue) {
  for (const std::string& line : std::vector<std::string>(publishing.Lines())) {
    const PublishingNote note = ReadNote(line);
    std::string folder, file;
    SplitPath(note.remote, folder, file);
    queue.GetSQL().SetText("select pkt, siteno from v7pkt where name='" +
                           Doubled(file.substr(0, file.size() - 4)) + "'");
    queue.Open();
    bool queued = false;
    for (; !queue.Eof() && !queued; queue.Next())
      queued =
          BytesDigest(queue.FieldByName("pkt").Value) == note.digest &&
          "v7/site" + TwoDigits(queue.FieldByName("siteno").Value) + "/send/" + file == note.remote;
    queue.Close();
    if (queued) {
      // The upload name of an older client's note may be another sender's upload now.
      if (!note.older) {
        if (!ftp->Connected()) ftp->Connect();
        const std::string left = RemoveStored(*ftp, note.upload);
        if (!left.empty())
          ShowMsg("The upload " + note.upload +
                  " is left on the server, which refused to remove it (" + left + ")");
      }
      Forget(publishing, line);
      continue;
    }
    try {
      FinishPublication(line, publishing, unrenamed);
    } catch (const EPacketHeld& e) {
      StepFailed(e.what());
    }
  }
}

// Notes a folder where packets go under their own names, with one warning when it is new.
void TfmV7Client::WarnUnrenamed(const std::string& refusal, const std::string& folder,
                                TLineRecord& unrenamed) {
  if (Unrenamed(unrenamed, folder)) return;
  ShowMsg(refusal + ": packets for " + folder +
          " are uploaded under their own names, and a receiver may meet one half-written");
  try {
    unrenamed.Add(UtcStamp(std::time(nullptr)) + " " + folder);
  } catch (const std::exception&) {
    // Unrecorded, the next step tries an upload name there again: one more file left behind
    // where the account may not remove it, nothing lost.
  }
}

}  // namespace v7
