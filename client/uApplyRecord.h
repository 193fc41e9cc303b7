// The record of the packets whose application this client began and did not see end. A packet
// during which the process died (a crash on some input, a kill, a power loss) is known at the
// next step; one that stopped it kMaxApplyDeaths times in a row is set aside in the log folder
// instead of being taken up, and stopping the client, for ever.
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

class TApplyRecord {
 public:
  TApplyRecord();
  // How many times in a row the application of the packet (its "<md5> <name>") began and did
  // not end.
  int Deaths(const std::string& packet) const;
  // Records one more beginning. Raises when the record cannot be written.
  void Begin(const std::string& packet);
  // The packet's application ended, or it was recorded as handled: its line goes. A record
  // that cannot be written keeps the line, which costs the packet one of its tries should it
  // come again with the same bytes; never raises.
  void End(const std::string& packet);

  // Removes every line that gone says is gone ("<deaths> <md5> <name>"); never raises.
  void ForgetIf(const std::function<bool(const std::string&)>& gone);

  // The record could not be written in this step and the client said so.
  bool warned = false;

 private:
  TLineRecord record_;
};

// Applies the unpacked packet xmlPath through client.Postdata, with its beginning and end
// recorded in record; `err` as Postdata gives it. A packet that stopped the client
// kMaxApplyDeaths times in a row is not applied: `err` says so, and the packet goes the way
// of a packet that failed. packetKey: "<md5> <name>"; packet: the packet as messages name it.
// When the record cannot be written the packet is applied all the same, with one message a
// step. Answers Postdata's answer (a new document recorded under packetKey); raises its
// ESiteFailure.
bool ApplyRecorded(TfmV7Client& client, TApplyRecord& record, const std::string& packetKey,
                   const std::string& packet, const std::string& xmlPath, std::string& err);

}  // namespace v7
