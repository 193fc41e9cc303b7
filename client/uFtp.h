// The FTP layer of the client: one session to the site's FTP account, with the few
// operations the transfer steps need. The system's logic talks to FtpSession only; the
// libcurl implementation stays behind NewCurlFtpSession.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace v7 {

// Any failed FTP operation; the message says what was asked and what went wrong.
class EFtpError : public std::runtime_error {
 public:
  // refused: the server answered the command with an error reply (the session goes on);
  // otherwise the session itself failed (no connection, a timeout, a local file).
  // detail: what went wrong without what was asked (the server's reply, as a rule).
  explicit EFtpError(const std::string& message, bool refused = false,
                     const std::string& detail = "")
      : std::runtime_error(message), Refused(refused), Detail(detail.empty() ? message : detail) {}
  bool Refused;
  std::string Detail;
};

// What the server says of one file: its size in bytes and the time of its last change
// (-1 when the server does not tell).
struct RemoteFileInfo {
  int64_t Size = -1;
  std::time_t Modified = -1;
};

// What one answer of the server says of one file, asked about that very name.
enum class FilePresence {
  Present,
  Absent,   // the answer is the server's word that it has no such file
  Unknown,  // the answer says nothing of the file (a refusal for another cause)
};

// What the server shows of one file, asked about that very name.
struct ShownFile {
  // Absent only when two answers agree: a question about the name answered "550" and a listing
  // of that name that succeeded without it.
  FilePresence Presence = FilePresence::Unknown;
  int64_t Size = -1;   // when Present and the server tells it
  std::string Answer;  // the server's own words when it did not show the file
};

class FtpSession {
 public:
  virtual ~FtpSession() = default;

  // The account: a host, optionally with a port ("127.0.0.1:2121"), a user and a password.
  // Changes take effect at the next Connect. Transfers run in active mode: the server
  // connects back to us, and a data connection from another address is refused.
  std::string Host;
  std::string Username;
  std::string Password;

  // Bounds of what the server may send, so that a server that sends without end spends
  // neither the disk nor the memory: a download (a packet or a patch, which are far
  // smaller), and the text of one name listing. Past them the transfer is cut off and
  // refused.
  int64_t MaxDownloadBytes = kMaxDownloadBytes;
  int64_t MaxListingBytes = kMaxListingBytes;
  static constexpr int64_t kMaxDownloadBytes = int64_t{256} << 20;  // 256 MiB
  static constexpr int64_t kMaxListingBytes = int64_t{16} << 20;    // 16 MiB

  // Signs in. Raises EFtpError when the server cannot be reached or refuses the account.
  virtual void Connect() = 0;
  // The server's refusal of the last sign-in (a wrong password, a locked account); empty
  // once one succeeds. Each further try counts against the account on servers that lock it.
  std::string SignInRefusal;
  virtual bool Connected() const = 0;
  // Closes the session; harmless when not connected.
  virtual void Disconnect() = 0;

  // Remote paths may use "\" or "/" as separator; they are relative to the account's
  // home folder.
  //
  // The files of the folder part of mask whose names match its last part ("*", "?",
  // "[...]", case-sensitive), each with its folder in front ("v7/site01/send/X.pkt").
  // The server is asked for the mask itself ("NLST v7/site01/send/*.pkt"): servers that glob
  // list only what it matches, so other files cannot fill a listing the server caps. When
  // that gives no names, the whole folder is listed (servers that do not glob answer the
  // mask as a file they do not have), and when that gives none either, the folder must be
  // there (a CWD into it succeeds): a listing of a missing folder is answered as one of an
  // empty folder by some servers. Raises EFtpError, Refused when the server answered: the
  // folder is missing, it refused the listing itself (a "450" or "550" to the whole folder's
  // listing), it refused the data connection (PORT and EPRT), the listing passed
  // MaxListingBytes, or its data connection came from another host than the server.
  // cut: the server's reply when it said it cut the listing short (servers that cap their
  // listings: "226 Output truncated to 3 matches"), empty otherwise: the names are then only
  // some of the folder's, and the others are still there.
  virtual std::vector<std::string> NameList(const std::string& mask,
                                            std::string* cut = nullptr) = 0;
  // Downloads remote into local, replacing local (a symlink standing there is replaced, never
  // written through). A failed download leaves no local file. Refused (EFtpError) past
  // MaxDownloadBytes, and when the data connection came from another host than the server.
  virtual void Get(const std::string& remote, const std::string& local) = 0;
  // Uploads local to remote, replacing a remote file of that name.
  virtual void Put(const std::string& local, const std::string& remote) = 0;
  virtual void Delete(const std::string& remote) = 0;
  // Renames from to to, in one step of the server: of several clients renaming the same
  // file, one succeeds. False when the server refuses (from is gone, or to cannot be made),
  // with the server's reply in refusal when given; raises EFtpError when the server cannot
  // be reached.
  virtual bool Rename(const std::string& from, const std::string& to,
                      std::string* refusal = nullptr) = 0;
  // The size and time of a remote file (SIZE, MDTM). Raises EFtpError, Refused when the
  // server has no such file.
  virtual RemoteFileInfo FileInfo(const std::string& remote) = 0;
  // What the server answers, asked the size of the file remote (or, where it does not tell
  // sizes, for its bytes): Present when it gives them, Absent when it answers "550", Unknown
  // for any other refusal. A "550" is no proof that the file is gone: servers answer so for
  // a file in use, or one they may not open. answer: the server's reply to the question.
  // Raises EFtpError when the server cannot be reached.
  virtual FilePresence Presence(const std::string& remote, std::string* answer = nullptr) = 0;
  // What a listing of that very name shows: Present when it lists the file, Absent when it
  // was answered without it (a listing sent whole, or a "450" or "550" of the listing command
  // itself in a folder that is there), Unknown otherwise (the data connection refused, the
  // folder not there). answer: the server's reply when it lists nothing. Raises EFtpError
  // when the server cannot be reached.
  virtual FilePresence Listed(const std::string& remote, std::string* answer = nullptr) = 0;
  // The file remote as the server shows it: its size (SIZE, or MLST where SIZE is refused, as
  // in a folder whose files the account may store but not read), or a listing of that very
  // name. Raises EFtpError when the server cannot be reached.
  virtual ShownFile Shown(const std::string& remote) = 0;
};

std::unique_ptr<FtpSession> NewCurlFtpSession();

}  // namespace v7
