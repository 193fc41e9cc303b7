// The send step of the cycle: the ping, and each queued packet of v7pkt uploaded and published
// once. It catches its own failures, shows them in the message pane and lets the cycle go on.
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

}  // namespace v7
