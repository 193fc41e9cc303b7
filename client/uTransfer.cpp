// // What the transfer steps of the cycle share: the working folders, the claim marks, the failed
// packets' log, and how a file is removed from the server and known to be gone.
#include "uTransfer.h"

#include <climits>
#include <filesystem>
#include <random>

#include "uGeneralFunctions.h"
#include "uMain.h"
#include "uPacketTrace.h"
#include "uXDS.h"

namespace v7 {

namespace fs = std::filesystem;

std::string TwoDigits(const std::string& number) { return PadLeft(number, 2, '0'); }

std::string Doubled(const std::string& text) { return ReplaceAll(text, "'", "''"); }

void RaiseOnError(const std::string& err) {
  if (!err.empty()) throw EDatabaseError(err);
}

std::string NameFault(const std::string& name) {
  if (name.empty()) return "the name is empty";
  if (name == "." || name == "..") return "a file name may not be \"" + name + "\"";
  for (const char c : name) {
    if (c == '/') return "a file name may not hold \"/\"";
    if (c == '\\') return "a file name may not hold \"\\\"";
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      return "a file name may not hold a control character";
  }
  return "";
}

std::string FileNameFault(const std::string& name) {
  const std::string fault = NameFault(name);
  if (fault.empty() && name.size() > NAME_MAX)
    return "a file name may hold no more than " + std::to_string(NAME_MAX) + " bytes";
  return fault;
}

std::string PrintableName(const std::string& name) {
  static const char kHex[] = "0123456789abcdef";
  std::string shown;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\t') {
      shown += "\\t";
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (byte < 0x20 || byte == 0x7f) {
      shown += std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
    } else {
      shown += c;
    }
  }
  return shown;
}

void CreateWorkFolders() {
  fs::create_directories(kFailedFolder);
  // A download goes to a ".download-" file beside its target until it is whole; one that a
  // stop left behind is of no use. Steps run one at a time, so none is being written now.
  for (const char* folder : {kTransitFolder, kReceiveFolder}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
      if (entry.path().filename().string().starts_with(".download-")) fs::remove(entry.path(), ec);
    }
  }
}

std::string RandomDigits() {
  std::random_device random;
  std::uniform_int_distribution<int> digit(0, 15);
  std::string digits;
  for (int i = 0; i < 12; ++i) digits += "0123456789abcdef"[digit(random)];
  return digits;
}

std::string NewClaimSuffix() { return kClaimMark + RandomDigits(); }

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

// Removes a file this client is done with from the server. A control connection that died
// (an idle timeout of the server, a firewall that forgot it, a reply that was lost) gets one
// more try on a new one. The server's reply to the delete is one answer about the file, and
// one answer is no evidence: a refusal ("550" says "in use" or "Permission denied" as well as
// "no such file") counts as done only when the file is gone by two more answers (a delete
// whose reply was lost, another client's), and a delete answered as done only when one more
// answer agrees. Raises the refusal of a file that stays, or that the server will not say is
// gone.
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
  std::string answer;
  const FilePresence presence = ftp->Presence(entry, &answer);
  if (presence == FilePresence::Absent) return;
  if (presence == FilePresence::Unknown && ftp->Listed(entry) == FilePresence::Absent) return;
  const std::string detail =
      presence == FilePresence::Present
          ? "the server answered the delete as done but still has the file"
          : "the server answered the delete as done but will not say the file is gone (" + answer +
                ")";
  throw EFtpError("FTP delete of " + entry + " failed: " + detail, true, detail);
}

// Whether the file entry is gone from the server: two answers about that very name agree that
// it has no such file (asked its size, the server answers "550"; a listing of that name comes
// without it). Either alone is no evidence: "550" is also the answer for a file in use or one
// the account may not read, and servers cap their listings and answer one that fails as one
// of an empty folder.
bool TfmV7Client::GoneFromServer(const std::string& entry) {
  return ftp->Presence(entry) == FilePresence::Absent && ftp->Listed(entry) == FilePresence::Absent;
}

}  // namespace v7
