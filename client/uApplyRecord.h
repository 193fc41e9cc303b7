// The records of what a packet did to the client or the site while it was applied. A packet
// during which the process died (a crash on some input, a kill, a power loss) is known at the
// next step; one that stopped it kMaxApplyDeaths times in a row is set aside in the log folder
// instead of being taken up, and stopping the client, for ever. One under which the site
// failed waits on the server, after the others, however often the site fails under it.
#pragma once

#include <functional>
#include <string>

#include "uTransfer.h"

namespace v7 {

class TfmV7Client;

// "<deaths> <md5> <name>" lines: how many times in a row the application of the packet of that
// digest and name began and did not end.
inline constexpr char kApplyingPacketsFile[] = "transit/packets-applying.txt";
// A site that loses power while one packet is applied must not lose that packet, nor one that
// a power cut or a kill meets twice: only a third death in a row sets it aside.
inline constexpr int kMaxApplyDeaths = 3;

// A record of "<count> <md5> <name>" lines, one count a packet, each change of it replacing
// the file whole (TLineRecord).
class TCountedRecord {
 public:
  explicit TCountedRecord(const char* fileName) : record_(fileName) {}
  // The packet's ("<md5> <name>") count; 0 when it has no line.
  int Count(const std::string& packet) const;
  // The packet is done with: its line goes. A record that cannot be written keeps the line;
  // never raises (what a line left costs is said where each record is declared).
  void End(const std::string& packet);
  // Removes every line that gone says is gone ("<count> <md5> <name>"); never raises: a line
  // of a packet that is gone only matters should the same name and bytes come again.
  void ForgetIf(const std::function<bool(const std::string&)>& gone);

 protected:
  // Writes the packet's new count as the last line, then drops its older lines: a stop between
  // the writes leaves both, and the higher count holds. Raises when the record cannot be
  // written.
  void SetCount(const std::string& packet, int count);

  TLineRecord record_;
};

class TApplyRecord : public TCountedRecord {
 public:
  TApplyRecord();
  // How many times in a row the application of the packet (its "<md5> <name>") began and did
  // not end.
  int Deaths(const std::string& packet) const { return Count(packet); }
  // Records one more beginning. Raises when the record cannot be written.
  void Begin(const std::string& packet);
  // End: the packet's application ended, or it was recorded as handled. A line left costs the
  // packet one of its tries should it come again with the same bytes.

  // The record could not be written in this step and the client said so.
  bool warned = false;
};

// Applies the unpacked packet xmlPath through client.Postdata, with its beginning and end
// recorded in record; `err` as Postdata gives it. A packet that stopped the client
// kMaxApplyDeaths times in a row is not applied: `err` says so, and the packet goes the way
// of a packet that failed, unless savedBefore (the site database's record of the new
// document it saved) shows it applied: the stops came after its commit, and it is answered
// as applied. packetKey: "<md5> <name>"; packet: the packet as messages name it. When the
// record cannot be written the packet is applied all the same, with one message a step.
// Answers Postdata's answer (a new document recorded under packetKey); raises its
// ESiteFailure, and one for a savedBefore that fails.
bool ApplyRecorded(TfmV7Client& client, TApplyRecord& record, const std::string& packetKey,
                   const std::string& packet, const std::string& xmlPath, std::string& err,
                   const std::function<bool()>& savedBefore);

// "<failures> <md5> <name>" lines: the packets under which the site failed (ESiteFailure) and
// that wait on the server, in the order in which they last failed so; failures: in how many
// receive steps the site failed under it. A failure of the site (its disk, its file size
// limit, its database locked, read-only, timed out or gone) is never the packet's, however
// often it follows that packet: it never sets the packet aside.
inline constexpr char kWaitingPacketsFile[] = "transit/packets-waiting.txt";

// The record of the packets that wait after a failure of the site under them. A receive step
// takes them after every other packet, the one that failed last, last.
class TWaitingRecord : public TCountedRecord {
 public:
  TWaitingRecord();
  // Records one more failure of the site under the packet ("<md5> <name>") and makes it the
  // last line. Answers its failures so far. Raises when the record cannot be written.
  int Failed(const std::string& packet);
  // The place among the waiting packets of the packet of that name (whatever its bytes), -1
  // when none of that name waits.
  int Place(const std::string& name) const;
  // End: the packet was applied, or is handled. A line left costs the packet its place in the
  // order only.
};

}  // namespace v7
