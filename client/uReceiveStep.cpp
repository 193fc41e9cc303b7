// The receive step of the cycle: each packet addressed to this site claimed, downloaded,
// unpacked, applied (or kept when it fails) and removed from the server, each exactly once.

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <stdexcept>

#include "uApplyRecord.h"
#include "uAtExit.h"
#include "uDBManager.h"
#include "uMD5.h"
#include "uMain.h"
#include "uPacket.h"
#include "uPostDocument.h"
#include "uTransfer.h"
#include "uZStream.h"

namespace v7 {

namespace fs = std::filesystem;

namespace {

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

// The state of one receive step that each packet's turn reads and adds to.
struct TReceiveStep {
  std::string folder;                               // "v7/siteNN/send/"
  TLineRecord claims{kClaimsFile};                  // this client's unfinished claims
  TLineRecord handled{kHandledPacketsFile};         // applied or kept, still to leave the server
  TLineRecord unpackFailures{kUnpackFailuresFile};  // failed to unpack, may still be arriving
  TApplyRecord applying;                            // applications begun and not seen to end
  TWaitingRecord waiting;                           // packets the site failed under
  // The refusal of the claims of the step before, when each was refused lastingly.
  TLineRecord claimRefusals{kClaimRefusalsFile};
  // Whether the account may rename here: Granted once a claim of this step succeeded,
  // Lacking once every claim of two steps in a row was refused lastingly.
  TRenameRight renameRight = TRenameRight::Unknown;
  // Claims of this step refused lastingly (5xx) for packets the server has, the last such
  // refusal, and whether a claim was refused otherwise (for the time being, or for a packet
  // of which the server would say nothing).
  int lastingRefusals = 0;
  std::string lastingRefusal;
  bool otherRefusals = false;
  // Packets handled under their own names (unclaimed) that the server would not delete.
  size_t unclaimedLeft = 0;
  // Packets in a row under which the site failed, and the cause of the last such failure.
  int siteFailuresInRow = 0;
  std::string siteCause;
  // The most bytes of XML text one packet may unpack to.
  uint64_t maxPacketBytes = TfmV7Client::MaxPacketBytes();
};

namespace {

// Why a name the server lists (a packet, or a claim) may not be used in the step: only a plain
// file name inside the step's folder is. Any other ("../", "\", NUL, a control character)
// would make the files written and removed here, and the commands sent there, reach other
// files, be cut, or be refused by the FTP layer as no request at all, which reads as a lost
// connection and would end every step.
std::string ListedNameFault(const std::string& folder, const std::string& listed) {
  if (!listed.starts_with(folder)) return "it is not in " + folder;
  return NameFault(listed.substr(folder.size()));
}

// The same for a name recorded as this client's claim, which must also bear the claim mark.
std::string ClaimNameFault(const std::string& folder, const std::string& claim) {
  const std::string fault = ListedNameFault(folder, claim);
  if (!fault.empty()) return fault;
  return claim.find(kClaimMark, folder.size()) == std::string::npos ? "it is no claim" : "";
}

// A packet whose bytes failed to unpack on two steps this far apart is cut for good.
constexpr std::time_t kSettleSeconds = 10 * 60;
// A claim that no client has finished for this long is named to the operator.
constexpr std::time_t kAbandonedClaimSeconds = 24 * 60 * 60;
// The site failing under this many packets in a row fails for more than one packet: the
// packets after them would meet the same (a full disk, a database locked or gone), and each
// try may cost the whole wait for a lock.
constexpr int kSiteFailuresThatEndTheStep = 2;

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
    // No packet of such a name is ever taken: its line has nothing left to say.
    if (!NameFault(name).empty()) return true;
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
  step.waiting.ForgetIf([&](const std::string& line) { return gone(FieldsAfter(line, 2)); });
  std::erase_if(handledUnsaved,
                [&](const std::string& line) { return gone(FieldsAfter(line, 1)); });
}

// A stop leaves the files of the packet it met in the receive folder (downloaded, unpacked,
// whole or cut). At the start of a step no packet's turn is running and no record names such a
// file: the packet comes again from the server. The log folder, and whatever is no file the
// step writes, stays.
void RemoveLeftPacketFiles() {
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(kReceiveFolder, ec)) {
    const std::string extension = e.path().extension().string();
    if (e.symlink_status(ec).type() == fs::file_type::regular &&
        (extension == ".pkt" || extension == ".xml"))
      RemoveQuietly(e.path().string());
  }
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
    RemoveLeftPacketFiles();
    TReceiveStep step;
    step.folder = "v7/site" + siteText + "/send/";
    if (!ftp->Connected()) ftp->Connect();
    // A claim recorded under a name that no request can carry (one an earlier version made of
    // a name holding a control character) would end every step at its first question: it
    // leaves the record, named. The file stays on the server, named every step, below.
    for (const std::string& line : std::vector<std::string>(step.claims.Lines())) {
      const std::string fault = ClaimNameFault(step.folder, line);
      if (fault.empty()) continue;
      step.claims.Remove(line);
      StepFailed("The claim " + PrintableName(line) + " recorded in " + kClaimsFile +
                 " is no name this client can use (" + fault +
                 "): it leaves the record; rename the file on the server by hand");
    }
    // Packets this client claimed in an earlier step and did not finish come first; claims
    // that the server no longer has (finished, or renamed back by hand) leave the record.
    std::string claimsCut, packetsCut;
    std::vector<std::string> claimed =
        ftp->NameList(step.folder + "*.pkt" + kClaimMark + "*", &claimsCut);
    std::erase_if(claimed, [&](const std::string& claim) {
      const std::string fault = ListedNameFault(step.folder, claim);
      if (!fault.empty()) StepFailed("Skipped " + PrintableName(claim) + ": " + fault);
      return !fault.empty();
    });
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
    // Packets and claims are listed by masks of their own, so that claims no delete removes
    // cannot fill a listing that the server caps and hide new packets.
    const std::vector<std::string> offered = ftp->NameList(step.folder + "*.pkt", &packetsCut);
    // A server that caps its listings says so when it cut one: the names it gave are worked,
    // and the packets it left out come in later listings as these leave the server. Nothing
    // is taken for gone for missing from such a listing (the FTP layer asks of each name).
    if (!packetsCut.empty() || !claimsCut.empty())
      StepFailed("The FTP server cut its listing of " + step.folder + " (" +
                 (packetsCut.empty() ? claimsCut : packetsCut) +
                 "): the packets it left out wait until those listed have left the server; "
                 "raise the server's limit on the names a listing may hold");
    ForgetPacketsGone(step, offered, handledUnsaved,
                      [&](const std::string& entry) { return GoneFromServer(entry); });
    // Packets under which the site failed come after all others, the one that failed last,
    // last: a packet that fails so every time delays no other.
    struct TTurn {
      std::string listed;
      bool ownClaim;
      std::string name;
      int waiting;  // the place among packets that wait, -1 for none
    };
    std::vector<TTurn> turns;
    const auto add = [&](const std::string& listed, bool ownClaim) {
      std::string name = listed.substr(std::min(listed.size(), step.folder.size()));
      if (ownClaim) name = name.substr(0, name.rfind(kClaimMark));
      turns.push_back({listed, ownClaim, name, step.waiting.Place(name)});
    };
    for (const std::string& listed : step.claims.Lines()) add(listed, true);
    for (const std::string& listed : offered) add(listed, false);
    std::stable_sort(turns.begin(), turns.end(),
                     [](const TTurn& a, const TTurn& b) { return a.waiting < b.waiting; });
    for (size_t i = 0; i < turns.size(); ++i) {
      if (step.siteFailuresInRow < kSiteFailuresThatEndTheStep) {
        ReceiveOne(turns[i].listed, turns[i].ownClaim, step);
        continue;
      }
      // The packets not tried wait for the next cycle, those that the site failed under
      // before named, as they are every cycle.
      std::string waiting;
      for (size_t j = i; j < turns.size(); ++j)
        if (turns[j].waiting >= 0) waiting += (waiting.empty() ? "" : ", ") + turns[j].name;
      StepFailed("The site failed under " + std::to_string(step.siteFailuresInRow) +
                 " packets in a row (" + step.siteCause + "): the receive step ends, and the " +
                 std::to_string(turns.size() - i) +
                 " packets after them wait on the server for the next cycle" +
                 (waiting.empty()
                      ? ""
                      : "; of them, the site failed in an earlier cycle under " + waiting));
      break;
    }
    // Packets applied unclaimed that the server keeps (no delete right) come in every
    // listing: when they are all it holds, new packets may wait behind them.
    if (!offered.empty() && step.unclaimedLeft >= offered.size())
      StepFailed("Every packet the FTP server lists in " + step.folder + " (" +
                 std::to_string(offered.size()) +
                 ") was handled and stays there: where the server caps its listings, new "
                 "packets may wait behind them; let the account delete, or remove them by hand");
    // A claim that succeeded ends the record of refusals; a step whose every claim was
    // refused lastingly starts it (or keeps it).
    if (step.renameRight == TRenameRight::Granted) {
      step.claimRefusals.RemoveIf([](const std::string&) { return true; });
    } else if (step.lastingRefusals > 0 && !step.otherRefusals) {
      step.claimRefusals.RemoveIf(
          [&](const std::string& line) { return line != step.lastingRefusal; });
      step.claimRefusals.Add(step.lastingRefusal);
    }
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
// - one during whose application the client stopped kMaxApplyDeaths times in a row before
//   its commit: not applied again, kept and removed as a packet that failed;
// - one that the site failed (its disk, its file size limit, its database): stays on the
//   server, neither kept nor recorded, and waits after the others in later steps, named with
//   the cause each time, however often the site fails under it (SiteFailedUnder).
// Raises only what ends the step: a lost connection, a database that cannot be synced, a
// handled packet that can neither be recorded nor removed.
void TfmV7Client::ReceiveOne(const std::string& listed, bool ownClaim, TReceiveStep& step) {
  // Checked before anything is claimed, downloaded or removed, here or there.
  if (const std::string fault = ListedNameFault(step.folder, listed); !fault.empty()) {
    StepFailed("Skipped " + PrintableName(listed) + ": " + fault);
    return;
  }
  std::string name = listed.substr(step.folder.size());
  if (ownClaim) name.erase(name.rfind(kClaimMark));
  if (const std::string fault = FileNameFault(name); !fault.empty()) {
    StepFailed("Skipped " + PrintableName(listed) + ": " + fault);
    return;
  }
  const std::string packet = step.folder + name;  // the packet as messages name it
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
    if (!ForgetSavedRow(packet, handledLine)) return;
    ShowMsg("Packet " + packet + " was handled before: removed without applying it again");
    RemoveHandledPacket(entry, packet, handledLine, step);
    return;
  }

  std::string err, siteCause;
  try {
    TCompress(step.maxPacketBytes).DecompressFile(packetPath, xmlPath);
  } catch (const EPacketTooLarge& e) {
    err = e.what();  // the packet's own fault: no later cycle would do better
  } catch (const std::exception& e) {
    const auto* stream = dynamic_cast<const EStreamError*>(&e);
    if (stream && stream->SystemErrno() != 0) {
      siteCause = e.what();
    } else if (StillArriving(entry, packetPath, handledLine, step)) {
      ShowMsg("Packet " + packet + " could not be unpacked (" + e.what() +
              "): left on the server for a later cycle, as it may still be arriving");
      return;
    } else {
      err = e.what();
    }
  }
  bool noted = false;  // a new document recorded under handledLine
  if (err.empty() && siteCause.empty()) {
    if (!fs::exists(xmlPath)) return;
    try {
      noted = ApplyRecorded(*this, step.applying, handledLine, packet, xmlPath, err,
                            [&] { return !SavedDocumentOf(*dbManager, handledLine).empty(); });
    } catch (const ESiteFailure& e) {
      siteCause = dbManager->WithDatabase(e.what());
    }
  }
  if (!siteCause.empty()) {
    SiteFailedUnder(packet, handledLine, siteCause, step);
    return;
  }
  step.siteFailuresInRow = 0;
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
  step.waiting.End(handledLine);
}

// A failure of the site (a full disk, a file size limit, an I/O error, a database locked,
// read-only, timed out or gone) is no fault of the packet, however often it follows that
// packet alone (a packet too big for the room left on the disk, one whose work waits for a row
// another program holds): the packet stays on the server, is neither kept nor recorded as
// handled, and waits after every other packet in later steps, named with the cause each time.
// Once the site is mended it is applied.
void TfmV7Client::SiteFailedUnder(const std::string& packet, const std::string& handledLine,
                                  const std::string& cause, TReceiveStep& step) {
  ++step.siteFailuresInRow;
  step.siteCause = cause;
  std::string steps;
  try {
    const int failures = step.waiting.Failed(handledLine);
    if (failures > 1)
      steps = "; the site has failed under it in " + std::to_string(failures) + " receive steps";
  } catch (const std::exception& e) {
    steps = std::string("; its turn after the others could not be recorded in ") +
            kWaitingPacketsFile + " (" + e.what() + ")";
  }
  StepFailed("Packet " + packet + " was not applied, as the site failed (" + cause +
             "): it stays on the server and waits, after the other packets, for the next "
             "cycle" +
             steps);
}

// The database's record of a new document that the packet saved goes before the packet may
// leave the server: a row left behind would take a later resend of that name and those bytes
// for applied. When its delete fails (a lock held by another program) the packet stays on the
// server, handled and not applied again, and the delete is tried again when the next step
// meets it. True when no such row stands.
bool TfmV7Client::ForgetSavedRow(const std::string& packet, const std::string& handledLine) {
  try {
    ForgetSavedDocument(*dbManager, handledLine);
    return true;
  } catch (const std::exception& e) {
    TakeSiteFailure();
    StepFailed(std::string("The row in ") + kSavedDocumentsTable + " of the document that packet " +
               packet + " saved could not be deleted (" + e.what() +
               "): the packet stays on the server, is not applied again, and the delete is tried "
               "again next cycle");
    return false;
  }
}

// Other clients may work this site too: a packet is applied by the one whose rename claims
// it. The claim is recorded before the rename, so that a client stopped in between finds it
// again. A refused rename is one answer, read beside what else the server says of the packet:
// - a claim of it stands on the server: another client took it;
// - the server has no such file and no longer lists it: it left (taken and finished);
// - the server lists it but has no such file: a name it cannot serve (one outside the
//   encoding it declares), named every step;
// - the server has it: the refusal is of this rename, and AccountCanRename decides.
// False when the packet is not to be applied now.
bool TfmV7Client::ClaimPacket(const std::string& listed, const std::string& packet,
                              TReceiveStep& step, std::string& entry) {
  using Right = TRenameRight;
  if (step.renameRight == Right::Lacking) return true;
  const std::string claimed = listed + NewClaimSuffix();
  step.claims.Add(claimed);
  std::string refusal;
  if (ftp->Rename(listed, claimed, &refusal)) {
    step.renameRight = Right::Granted;
    entry = claimed;
    return true;
  }
  step.claims.Remove(claimed);
  const auto passedOver = [&](const std::string& more) {
    StepFailed("The FTP server refused to rename " + packet + " to claim it (" + refusal + ")" +
               more + ": passed over until the next cycle");
    return false;
  };
  std::string answer;
  FilePresence presence = FilePresence::Unknown;
  try {
    std::vector<std::string> claims = ftp->NameList(listed + kClaimMark + "*");
    std::erase_if(claims, [&](const std::string& claim) { return step.claims.Contains(claim); });
    if (!claims.empty()) {
      ShowMsg("Skipped " + packet + ": taken by another client");
      return false;
    }
    presence = ftp->Presence(listed, &answer);
    if (presence == FilePresence::Absent) {
      const std::vector<std::string> offered = ftp->NameList(step.folder + "*.pkt");
      if (std::find(offered.begin(), offered.end(), listed) == offered.end()) {
        ShowMsg("Skipped " + packet + ": it has left the server since it was listed");
        return false;
      }
      step.otherRefusals = true;
      StepFailed("The FTP server lists " + packet + " but will not serve it (" + refusal + "; " +
                 answer +
                 "): passed over until it does (a name outside the encoding the server "
                 "declares is served under no name: rename the file on the server)");
      return false;
    }
  } catch (const EFtpError& e) {
    if (!e.Refused) throw;
    step.otherRefusals = true;
    return passedOver("; " + e.Detail);
  }
  if (presence != FilePresence::Present) {
    step.otherRefusals = true;
    return passedOver("; " + answer);
  }
  switch (AccountCanRename(refusal, step)) {
    case Right::Lacking:
      ShowMsg("The FTP server refused to rename " + packet + " (" + refusal +
              "), as it refused every claim of the receive step before: the account lacks the "
              "rename right that claims a packet, so packets are applied unclaimed; only one "
              "client may receive for this site");
      return true;
    default:
      return passedOver(step.renameRight != Right::Granted && refusal.starts_with("5")
                            ? "; should every claim be refused so in the next cycle too, "
                              "packets are then applied unclaimed"
                            : "");
  }
}

// Whether a lasting refusal of a claim's own rename (a 5xx reply, for a packet the server
// has) shows that the account may not rename here: only when every claim of the step before
// was refused so, and none of this one succeeded. A name the server refuses for one packet
// alone (too long for it) leaves the others claimed, and a refusal for the time being (4xx)
// tells nothing. Lacking, or the right as the step knew it before.
TRenameRight TfmV7Client::AccountCanRename(const std::string& refusal, TReceiveStep& step) {
  using Right = TRenameRight;
  if (!refusal.starts_with("5")) {
    step.otherRefusals = true;
    return step.renameRight;
  }
  ++step.lastingRefusals;
  step.lastingRefusal = refusal;
  if (step.renameRight == Right::Granted || step.claimRefusals.Lines().empty())
    return step.renameRight;
  step.renameRight = Right::Lacking;
  return Right::Lacking;
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
    if (!ListedNameFault(step.folder, claim).empty()) return true;  // never asked of the server
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
// packet is recorded here, before it leaves the server (ForgetSavedRow): a stop after its
// delete would otherwise leave the row, and the same packet sent again on purpose would not be
// applied.
void TfmV7Client::RecordAndRemoveHandled(const std::string& entry, const std::string& packet,
                                         const std::string& handledLine, TReceiveStep& step,
                                         bool savedDocument) {
  try {
    step.handled.Add(handledLine);
  } catch (const std::exception& e) {
    handledUnsaved.insert(handledLine);
    const std::string why = std::string(" (") + e.what() + ")";
    if (savedDocument && !ForgetSavedRow(packet, handledLine)) {
      StepFailed("Packet " + packet + " could not be recorded as handled in " +
                 kHandledPacketsFile + why + "; it is not applied again while this client runs");
      return;
    }
    if (!RemoveHandledPacket(entry, packet, handledLine, step))
      throw std::runtime_error(
          "Packet " + packet + " was handled but can neither be recorded in " +
          kHandledPacketsFile + why +
          " nor removed from the server: it is not applied again while this client runs; "
          "make the record writable, or remove the packet from the server");
    StepFailed("Packet " + packet + " could not be recorded as handled in " + kHandledPacketsFile +
               why + "; it has left the server");
    return;
  }
  if (savedDocument && !ForgetSavedRow(packet, handledLine)) return;
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
    if (entry.ends_with(".pkt")) ++step.unclaimedLeft;  // a claim's name ends in its digits
    return false;
  }
  step.handled.Remove(handledLine);
  handledUnsaved.erase(handledLine);
  step.claims.Remove(entry);
  return true;
}

}  // namespace v7
