// Counting the deaths of the client during one packet's application, so that a packet that
// kills it on every try is set aside after a few instead of ending every later step.
#include "uApplyRecord.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "uDbBackend.h"
#include "uMain.h"
#include "uPacket.h"

namespace v7 {

namespace {

// The packet key and the count of a line "<deaths> <md5> <name>"; false for a line of any
// other form.
bool SplitLine(const std::string& line, int& deaths, std::string& packet) {
  const size_t space = line.find(' ');
  if (space == 0 || space == std::string::npos || space > 6) return false;
  deaths = 0;
  for (size_t i = 0; i < space; ++i) {
    if (line[i] < '0' || line[i] > '9') return false;
    deaths = deaths * 10 + (line[i] - '0');
  }
  packet = line.substr(space + 1);
  return true;
}

// The lines of the record about packet.
std::vector<std::string> LinesOf(const TLineRecord& record, const std::string& packet) {
  std::vector<std::string> lines;
  int deaths = 0;
  std::string key;
  for (const std::string& line : record.Lines())
    if (SplitLine(line, deaths, key) && key == packet) lines.push_back(line);
  return lines;
}

}  // namespace

int TCountedRecord::Count(const std::string& packet) const {
  int most = 0, count = 0;
  std::string key;
  for (const std::string& line : LinesOf(record_, packet))
    if (SplitLine(line, count, key)) most = std::max(most, count);
  return most;
}

void TCountedRecord::SetCount(const std::string& packet, int count) {
  const std::vector<std::string> older = LinesOf(record_, packet);
  const std::string line = std::to_string(count) + " " + packet;
  if (record_.Contains(line)) record_.Remove(line);
  record_.Add(line);
  for (const std::string& old : older)
    if (old != line) record_.Remove(old);
}

void TCountedRecord::End(const std::string& packet) {
  try {
    for (const std::string& line : LinesOf(record_, packet)) record_.Remove(line);
  } catch (const std::exception&) {
    // Left as it was: see the header.
  }
}

void TCountedRecord::ForgetIf(const std::function<bool(const std::string&)>& gone) {
  try {
    record_.RemoveIf(gone);
  } catch (const std::exception&) {
    // Left as it was: see the header.
  }
}

TApplyRecord::TApplyRecord() : TCountedRecord(kApplyingPacketsFile) {}

void TApplyRecord::Begin(const std::string& packet) { SetCount(packet, Deaths(packet) + 1); }

bool ApplyRecorded(TfmV7Client& client, TApplyRecord& record, const std::string& packetKey,
                   const std::string& packet, const std::string& xmlPath, std::string& err,
                   const std::function<bool()>& savedBefore) {
  const int deaths = record.Deaths(packetKey);
  if (deaths >= kMaxApplyDeaths) {
    // Only stops before the commit count: a packet whose document is committed was applied,
    // whatever stopped the client after it.
    bool saved = false;
    try {
      saved = savedBefore && savedBefore();
    } catch (const std::exception& e) {
      const std::string cause = TakeSiteFailure();
      throw ESiteFailure(cause.empty() ? e.what() : cause);
    }
    if (saved) {
      client.ShowMsg("Packet " + packet +
                     " was applied before the client stopped: it is not applied again");
      return true;
    }
    err = "Packet " + packet + " is not applied again: the client stopped " +
          std::to_string(deaths) + " times in a row while applying it";
    return false;
  }
  try {
    record.Begin(packetKey);
  } catch (const std::exception& e) {
    if (!record.warned)
      client.StepFailed(std::string("The record of packets being applied (") +
                        kApplyingPacketsFile + ") cannot be written: " + e.what() +
                        ". Packets are applied without it: one that stops the client would be "
                        "taken up again every cycle");
    record.warned = true;
  }
  client.ShowMsg("Pushing into database");
  bool noted = false;
  try {
    noted = client.Postdata(xmlPath, err, packetKey);
  } catch (const ESiteFailure&) {
    record.End(packetKey);  // the application ended: the site failed, not the client
    throw;
  }
  record.End(packetKey);
  return noted;
}

TWaitingRecord::TWaitingRecord() : TCountedRecord(kWaitingPacketsFile) {}

int TWaitingRecord::Failed(const std::string& packet) {
  const int failures = Count(packet) + 1;
  SetCount(packet, failures);
  return failures;
}

int TWaitingRecord::Place(const std::string& name) const {
  int n = 0;
  std::string key;
  const std::vector<std::string>& lines = record_.Lines();
  for (size_t i = 0; i < lines.size(); ++i)
    if (SplitLine(lines[i], n, key) && FieldsAfter(key, 1) == name) return static_cast<int>(i);
  return -1;
}

}  // namespace v7
