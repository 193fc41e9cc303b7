// FtpSession over one reusable libcurl easy handle: libcurl keeps the signed-in control
// connection between operations, and closing the handle ends the session.
#include "uFtp.h"

#include <arpa/inet.h>
#include <fnmatch.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "uCurl.h"

namespace v7 {

namespace {

struct FileCloser {
  void operator()(FILE* file) const { fclose(file); }
};

std::string Slashed(const std::string& path) {
  std::string result = path;
  for (char& c : result)
    if (c == '\\') c = '/';
  return result;
}

size_t AppendToString(char* data, size_t size, size_t count, void* target) {
  static_cast<std::string*>(target)->append(data, size * count);
  return size * count;
}

// libcurl hands the server's reply lines of an FTP session to the header callback. An error
// reply (4xx or 5xx) is kept until a later reply shows the session went on (libcurl falls
// back from a refused EPRT to PORT, for one): what is left names the failed command's cause.
size_t KeepErrorReply(char* data, size_t size, size_t count, void* target) {
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  // Only the last line of a reply ("550 ..." after "550-...") has a blank after its code.
  const bool last = line.size() >= 4 && std::isdigit(static_cast<unsigned char>(line[0])) &&
                    std::isdigit(static_cast<unsigned char>(line[1])) &&
                    std::isdigit(static_cast<unsigned char>(line[2])) && line[3] == ' ';
  if (last) *static_cast<std::string*>(target) = line[0] == '4' || line[0] == '5' ? line : "";
  return size * count;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

// Whether a listed name matches a mask. The name is matched whole: one holding NUL would be
// cut at it, and "x.pkt<NUL>y" taken for "x.pkt". A NUL is matched as another control
// character, which only a wildcard matches; the steps then refuse the name by what it holds.
bool Matches(const std::string& pattern, std::string name) {
  std::replace(name.begin(), name.end(), '\0', '\x01');
  return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

// Every reply line of a request, besides its error reply as KeepErrorReply keeps it.
struct Replies {
  std::string* errorReply;
  std::string lines;
};

size_t KeepReplies(char* data, size_t size, size_t count, void* target) {
  auto* replies = static_cast<Replies*>(target);
  replies->lines.append(data, size * count);
  return KeepErrorReply(data, size, count, replies->errorReply);
}

// A size the server wrote as decimal digits; -1 (no size known) when they name more bytes than
// a file can have: a server's text is never trusted to fit.
int64_t SizeOf(const char* first, const char* last) {
  int64_t size = -1;
  const auto [end, error] = std::from_chars(first, last, size);
  return error == std::errc() && end == last && size >= 0 ? size : -1;
}

// The lines of a server's text (replies, a listing), split at LF alone, each less a CR that
// ends it. A CR inside a line stays: a name that holds one is that name, refused as such, not
// two names.
std::vector<std::string> ServerLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
  }
  return lines;
}

// The size that the SIZE reply ("213 6") among a request's reply lines gives, for a request
// whose SIZE libcurl saw answered; -1 when its digits are missing or too many. libcurl takes
// such a reply for 0 bytes. MDTM, when asked too, is answered first: SIZE's reply is the last.
int64_t SizeReply(const std::string& lines) {
  int64_t size = -1;
  for (std::string line : ServerLines(lines)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.starts_with("213 ")) continue;
    // Servers may put words before the digits: the size is the digits that end the line.
    size_t digits = line.size();
    while (digits > 4 && std::isdigit(static_cast<unsigned char>(line[digits - 1]))) --digits;
    size = digits < line.size() ? SizeOf(line.data() + digits, line.data() + line.size()) : -1;
  }
  return size;
}

// The size fact of an MLST reply's fact line (" type=file;size=6;modify=...; name"); -1
// without one.
int64_t MlstSize(const std::string& lines, bool& fileShown) {
  for (const std::string& line : ServerLines(lines)) {
    if (line.empty() || line[0] != ' ') continue;
    fileShown = true;
    std::string lower = line;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (size_t at = lower.find("size="); at != std::string::npos;
         at = lower.find("size=", at + 1)) {
      if (at > 1 && lower[at - 1] != ';' && lower[at - 1] != ' ') continue;
      const size_t digits = at + 5;
      size_t stop = digits;
      while (stop < lower.size() && std::isdigit(static_cast<unsigned char>(lower[stop]))) ++stop;
      if (stop > digits) return SizeOf(lower.data() + digits, lower.data() + stop);
    }
  }
  return -1;
}

// Where the data of a download or a listing goes, and how much of it may come: a server that
// sends without end is cut off at the bound (a write callback that takes less than it is
// given ends the transfer).
struct BoundedSink {
  FILE* file = nullptr;         // a download
  std::string* text = nullptr;  // a listing
  int64_t bound = 0;
  int64_t taken = 0;
  bool overrun = false;
  // Why the last write of a download fell short ("No space left on device"): libcurl only
  // says that its write callback failed.
  int writeErrno = 0;
};

size_t WriteBounded(char* data, size_t size, size_t count, void* target) {
  auto* sink = static_cast<BoundedSink*>(target);
  const size_t n = size * count;
  if (sink->taken + static_cast<int64_t>(n) > sink->bound) {
    sink->overrun = true;
    return 0;
  }
  sink->taken += static_cast<int64_t>(n);
  if (sink->text) {
    sink->text->append(data, n);
    return n;
  }
  const size_t written = fwrite(data, 1, n, sink->file);
  if (written < n) sink->writeErrno = errno;
  return written;
}

// A download that only asks whether the server serves a file: its first bytes answer, and
// the rest is not waited for.
size_t StopAtFirstBytes(char*, size_t, size_t, void* served) {
  *static_cast<bool*>(served) = true;
  return 0;
}

// The numeric address of a socket's peer, IPv4-mapped IPv6 addresses written as IPv4.
std::string PeerAddress(int socket) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "";
  char text[INET6_ADDRSTRLEN] = {};
  if (peer.ss_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(&peer)->sin_addr, text, sizeof text);
  } else if (peer.ss_family == AF_INET6) {
    const in6_addr& address = reinterpret_cast<sockaddr_in6*>(&peer)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&address))
      inet_ntop(AF_INET, &address.s6_addr[12], text, sizeof text);
    else
      inet_ntop(AF_INET6, &address, text, sizeof text);
  }
  return text;
}

// Whether a reply line of a listing says that the server cut it short ("226 Output truncated
// to 3 matches").
bool SaysCut(const std::string& line) {
  std::string lower = line;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return lower.size() >= 4 && lower[0] == '2' && lower.find("truncat") != std::string::npos;
}

size_t ReadFromFile(char* data, size_t size, size_t count, void* file) {
  return fread(data, size, count, static_cast<FILE*>(file)) * size;
}

class CurlFtpSession : public FtpSession {
 public:
  CurlFtpSession() { EnsureCurlGlobal(); }

  void Connect() override {
    Disconnect();
    RefuseWhenStopping("connect to " + Host);
    // Else libcurl's only word would be "URL using bad/illegal format".
    if (Host.empty())
      throw EFtpError("FTP: no server to connect to: the FTP account names no host");
    handle_.reset(curl_easy_init());
    if (!handle_) throw EFtpError("FTP: cannot create a session");
    // Signing in is all that a request without a body on the home folder does.
    Prepare("");
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    try {
      Perform("connect to " + Host);
    } catch (const EFtpError& e) {
      handle_.reset();
      if (e.Refused) SignInRefusal = e.Detail;
      throw;
    } catch (...) {
      handle_.reset();
      throw;
    }
    SignInRefusal.clear();
  }

  bool Connected() const override { return handle_ != nullptr; }

  void Disconnect() override { handle_.reset(); }

  std::vector<std::string> NameList(const std::string& mask, std::string* cutReply) override {
    const std::string slashed = Slashed(mask);
    const size_t cut = slashed.rfind('/');
    const std::string folder = cut == std::string::npos ? "" : slashed.substr(0, cut + 1);
    const std::string pattern = cut == std::string::npos ? slashed : slashed.substr(cut + 1);
    const std::string what = "name list of " + mask;
    std::vector<std::string> all;
    std::vector<std::string> names;
    std::string listing;
    std::string maskCut, folderCut;
    const std::string folderArgument = folder.empty() ? "" : folder.substr(0, folder.size() - 1);
    // A listing cut short holds the files the server met first, and files that stay for good
    // (what no delete removes) may stand before new ones every time. Servers that order a
    // detailed listing before they cut it (Pure-FTPd) give the newest files first when asked
    // so ("LIST -t"): new packets come before what has stood there.
    const auto addNewest = [&] {
      std::string detailed;
      try {
        if (!Nlst(folderArgument, detailed, what, nullptr, "LIST -t")) return;
      } catch (const EFtpError& e) {
        if (!e.Refused) throw;
        return;
      }
      for (const std::string& name : DetailedNames(detailed))
        if (Matches(pattern, name) &&
            std::find(names.begin(), names.end(), folder + name) == names.end())
          names.push_back(folder + name);
    };
    Nlst(slashed, listing, what, &maskCut);
    for (const std::string& name : Names(listing, folder))
      if (Matches(pattern, name)) names.push_back(folder + name);
    if (cutReply) *cutReply = maskCut;
    if (!names.empty()) {
      if (!maskCut.empty()) addNewest();
      return names;
    }
    // Servers that do not glob answer the mask as a file they do not have.
    listing.clear();
    const bool refused = !Nlst(folderArgument, listing, what, &folderCut);
    const std::string refusal = errorReply_;
    if (cutReply && !folderCut.empty()) *cutReply = folderCut;
    all = Names(listing, folder);
    for (const std::string& name : all)
      if (Matches(pattern, name)) names.push_back(folder + name);
    if (!folderCut.empty()) addNewest();
    if (!names.empty() || (!refused && !all.empty())) return names;
    // No names at all: an empty folder only where the folder is there (vsftpd lists a missing
    // one as an empty one) and the account may list it.
    std::string missing;
    if (!FolderThere(folder, missing))
      throw EFtpError("FTP " + what + " failed: the folder " + folder + " is not on the server (" +
                          missing + ")",
                      true, "the folder " + folder + " is not on the server (" + missing + ")");
    if (refused)
      throw EFtpError(
          "FTP " + what + " failed: the server refused to list " + folder + " (" + refusal + ")",
          true, "the server refused to list " + folder + " (" + refusal + ")");
    return names;
  }

  FilePresence Listed(const std::string& remote, std::string* answer) override {
    const std::string slashed = Slashed(remote);
    const size_t cut = slashed.rfind('/');
    const std::string folder = cut == std::string::npos ? "" : slashed.substr(0, cut + 1);
    const std::string name = slashed.substr(folder.size());
    std::string listing, cutReply;
    bool sent = false;
    try {
      sent = Nlst(slashed, listing, "name list of " + remote, &cutReply);
    } catch (const EFtpError& e) {
      if (!e.Refused) throw;
      if (answer) *answer = e.Detail;
      return FilePresence::Unknown;
    }
    std::vector<std::string> names = Names(listing, folder);
    if (std::find(names.begin(), names.end(), name) != names.end()) return FilePresence::Present;
    if (answer)
      *answer = sent ? (cutReply.empty() ? "a listing without it" : cutReply) : errorReply_;
    // A listing the server cut short tells nothing of the names it left out.
    if (sent) return cutReply.empty() ? FilePresence::Absent : FilePresence::Unknown;
    // The listing command's own refusal tells of the name only where the folder is there and
    // the account may list it.
    listing.clear();
    try {
      if (!Nlst(folder.empty() ? "" : folder.substr(0, folder.size() - 1), listing,
                "name list of " + folder, &cutReply))
        return FilePresence::Unknown;
    } catch (const EFtpError& e) {
      if (!e.Refused) throw;
      return FilePresence::Unknown;
    }
    names = Names(listing, folder);
    if (std::find(names.begin(), names.end(), name) != names.end()) return FilePresence::Present;
    if (!cutReply.empty()) {
      if (answer) *answer = cutReply;
      return FilePresence::Unknown;
    }
    std::string missing;
    return FolderThere(folder, missing) ? FilePresence::Absent : FilePresence::Unknown;
  }

  void Get(const std::string& remote, const std::string& local) override {
    EnsureHandle();
    // The bytes go to a new file beside local, made here (O_EXCL: never a file or a symlink
    // that stands under its name), which takes local's place only when whole: a symlink
    // planted as local is replaced, never written through. Its extension is local's, so that
    // one left by a stop is cleared as local would be.
    const std::filesystem::path target(local);
    const std::string extension = target.extension().string();
    std::string temporary = (target.parent_path() / (".download-XXXXXX" + extension)).string();
    const int fd = mkstemps(temporary.data(), static_cast<int>(extension.size()));
    std::unique_ptr<FILE, FileCloser> file(fd < 0 ? nullptr : fdopen(fd, "wb"));
    if (!file) {
      if (fd >= 0) {
        close(fd);
        unlink(temporary.c_str());
      }
      throw EFtpError("FTP download of " + remote + ": cannot create " + local, false,
                      "cannot create " + local);
    }
    const std::string what = "download of " + remote;
    BoundedSink sink;
    sink.file = file.get();
    sink.bound = MaxDownloadBytes;
    Prepare(Slashed(remote));
    CURL* h = handle_.get();
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBounded);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    // A size the server announces past the bound is refused before any byte comes.
    curl_easy_setopt(h, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(MaxDownloadBytes));
    try {
      const CURLcode code = curl_easy_perform(h);
      if (sink.overrun || code == CURLE_FILESIZE_EXCEEDED) {
        const std::string detail = "the server sends more than " +
                                   std::to_string(MaxDownloadBytes) +
                                   " bytes, the most a download may be: it was cut off";
        throw EFtpError("FTP " + what + " refused: " + detail, true, detail);
      }
      if (code != CURLE_OK) {
        try {
          Fail(what, code);
        } catch (const EFtpError& e) {
          if (sink.writeErrno == 0) throw;
          const std::string why = std::string(" (") + std::strerror(sink.writeErrno) + ")";
          throw EFtpError(e.what() + why, e.Refused, e.Detail + why);
        }
      }
      const auto writeFailed = [&] {
        const std::string failed = std::string("write failed (") + std::strerror(errno) + ")";
        throw EFtpError("FTP download of " + remote + ": " + failed, false, failed);
      };
      if (fflush(file.get()) != 0) writeFailed();
      if (fclose(file.release()) != 0) writeFailed();
      if (rename(temporary.c_str(), local.c_str()) != 0)
        throw EFtpError("FTP download of " + remote + ": cannot create " + local, false,
                        "cannot create " + local);
    } catch (...) {
      file.reset();
      unlink(temporary.c_str());
      unlink(local.c_str());
      throw;
    }
  }

  void Put(const std::string& local, const std::string& remote) override {
    EnsureHandle();
    std::unique_ptr<FILE, FileCloser> file(fopen(local.c_str(), "rb"));
    if (!file) throw EFtpError("FTP upload to " + remote + ": cannot open " + local);
    fseek(file.get(), 0, SEEK_END);
    const long size = ftell(file.get());
    fseek(file.get(), 0, SEEK_SET);
    Prepare(Slashed(remote));
    curl_easy_setopt(handle_.get(), CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_READFUNCTION, ReadFromFile);
    curl_easy_setopt(handle_.get(), CURLOPT_READDATA, file.get());
    curl_easy_setopt(handle_.get(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
    const CURLcode code = curl_easy_perform(handle_.get());
    // A refused PORT or EPRT refuses the data connection, not this upload.
    if (code == CURLE_FTP_PORT_FAILED && Refused()) {
      const std::string detail =
          "the server refused the data connection of active mode (" + errorReply_ + ")";
      throw EFtpError("FTP upload to " + remote + " failed: " + detail, true, detail);
    }
    if (code != CURLE_OK) Fail("upload to " + remote, code);
  }

  void Delete(const std::string& remote) override {
    EnsureHandle();
    SlistPtr commands(curl_slist_append(nullptr, ("DELE " + Slashed(remote)).c_str()));
    Prepare("");
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_QUOTE, commands.get());
    Perform("delete of " + remote);
  }

  bool Rename(const std::string& from, const std::string& to, std::string* refusal) override {
    EnsureHandle();
    SlistPtr commands;
    SlistAppend(commands, "RNFR " + Slashed(from));
    SlistAppend(commands, "RNTO " + Slashed(to));
    Prepare("");
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_QUOTE, commands.get());
    // The server's refusal of a command is an answer; anything else is a failed session.
    const CURLcode code = curl_easy_perform(handle_.get());
    if (code == CURLE_QUOTE_ERROR) {
      if (refusal) *refusal = errorReply_;
      return false;
    }
    if (code != CURLE_OK) Fail("rename of " + from + " to " + to, code);
    return true;
  }

  RemoteFileInfo FileInfo(const std::string& remote) override {
    EnsureHandle();
    Prepare(Slashed(remote));
    // Without a body libcurl asks SIZE, and MDTM for the time.
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_FILETIME, 1L);
    // libcurl hands the answers on as header-like lines to the body's writer.
    std::string answers;
    curl_easy_setopt(handle_.get(), CURLOPT_WRITEFUNCTION, AppendToString);
    curl_easy_setopt(handle_.get(), CURLOPT_WRITEDATA, &answers);
    Replies replies{&errorReply_, ""};
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERDATA, &replies);
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERFUNCTION, KeepReplies);
    Perform("size of " + remote);
    RemoteFileInfo info;
    curl_off_t size = -1, modified = -1;
    if (curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) == CURLE_OK &&
        size >= 0)
      info.Size = SizeReply(replies.lines);
    if (curl_easy_getinfo(handle_.get(), CURLINFO_FILETIME_T, &modified) == CURLE_OK)
      info.Modified = static_cast<std::time_t>(modified);
    return info;
  }

  FilePresence Presence(const std::string& remote, std::string* answer) override {
    EnsureHandle();
    Prepare(Slashed(remote));
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_WRITEFUNCTION, Discard);
    curl_off_t size = -1;
    CURLcode code = curl_easy_perform(handle_.get());
    if (code == CURLE_OK &&
        curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) == CURLE_OK &&
        size >= 0)
      return FilePresence::Present;
    if (code == CURLE_OK) {
      // The server does not tell sizes: a download of the file answers instead, its first
      // bytes as well as its end (a server may send without end).
      bool served = false;
      Prepare(Slashed(remote));
      curl_easy_setopt(handle_.get(), CURLOPT_WRITEFUNCTION, StopAtFirstBytes);
      curl_easy_setopt(handle_.get(), CURLOPT_WRITEDATA, &served);
      code = curl_easy_perform(handle_.get());
      if (code == CURLE_OK || (served && code == CURLE_WRITE_ERROR)) return FilePresence::Present;
    }
    if (!Refused() || code == CURLE_ABORTED_BY_CALLBACK)
      Fail("question whether " + remote + " exists", code);
    if (answer) *answer = errorReply_;
    // "550" is the reply for a file the server does not have (and for others); a 450 and the
    // like say nothing of the file.
    return errorReply_.starts_with("550") ? FilePresence::Absent : FilePresence::Unknown;
  }

  ShownFile Shown(const std::string& remote) override {
    ShownFile shown;
    const std::string path = Slashed(remote);
    EnsureHandle();
    // SIZE (libcurl asks it for a request without a body, and passes a refusal by unless it
    // is a 550).
    Prepare(path);
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_WRITEFUNCTION, Discard);
    Replies sizeReplies{&errorReply_, ""};
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERDATA, &sizeReplies);
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERFUNCTION, KeepReplies);
    CURLcode code = curl_easy_perform(handle_.get());
    curl_off_t size = -1;
    if (code == CURLE_OK &&
        curl_easy_getinfo(handle_.get(), CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &size) == CURLE_OK &&
        size >= 0) {
      // The server has the file; a size it gives beyond range is no size.
      shown.Presence = FilePresence::Present;
      shown.Size = SizeReply(sizeReplies.lines);
      if (shown.Size >= 0) return shown;
    }
    if (code != CURLE_OK && (!Refused() || code == CURLE_ABORTED_BY_CALLBACK))
      Fail("question of the size of " + remote, code);
    const std::string sizeAnswer = errorReply_;

    // MLST: its facts name the size where SIZE is refused (a folder whose files may be stored,
    // not read). Servers without it refuse it.
    Prepare("");
    SlistPtr commands(curl_slist_append(nullptr, ("MLST " + path).c_str()));
    Replies replies{&errorReply_, ""};
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_QUOTE, commands.get());
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERDATA, &replies);
    curl_easy_setopt(handle_.get(), CURLOPT_HEADERFUNCTION, KeepReplies);
    code = curl_easy_perform(handle_.get());
    if (code == CURLE_OK) {
      bool fileShown = false;
      const int64_t facts = MlstSize(replies.lines, fileShown);
      if (fileShown) {
        shown.Presence = FilePresence::Present;
        shown.Size = facts;
        return shown;
      }
    } else if (code != CURLE_QUOTE_ERROR) {
      Fail("question of the size of " + remote, code);
    }
    const std::string mlstAnswer = errorReply_;
    if (shown.Presence == FilePresence::Present) return shown;  // SIZE's reply, without a size

    // A listing of that very name: the second answer, without which a "550" to SIZE (a file
    // in use, one the account may not read) proves nothing.
    std::string listAnswer;
    const FilePresence listed = Listed(remote, &listAnswer);
    if (listed == FilePresence::Present) {
      shown.Presence = FilePresence::Present;
      return shown;
    }
    if (listed == FilePresence::Absent && sizeAnswer.starts_with("550")) {
      shown.Presence = FilePresence::Absent;
      shown.Answer = sizeAnswer;
      return shown;
    }
    for (const std::string& answer : {sizeAnswer, mlstAnswer, listAnswer})
      if (shown.Answer.empty()) shown.Answer = answer;
    if (shown.Answer.empty()) shown.Answer = "the server tells neither its size nor its name";
    return shown;
  }

 private:
  // One name listing ("NLST argument", the home folder when argument is empty) into listing.
  // True when the listing was sent; false when the listing command itself was answered "450"
  // or "550" (as servers answer a mask that matches nothing, a folder they do not have, or
  // an account that may not list), with that reply kept in errorReply_. Any other failure
  // raises: a refused data connection (PORT, EPRT) is no answer about the folder.
  bool Nlst(const std::string& argument, std::string& listing, const std::string& what,
            std::string* cut = nullptr, const std::string& verb = "NLST") {
    EnsureHandle();
    // The argument goes as it stands: asked with a path, libcurl sends the folder alone.
    Prepare("");
    CURL* h = handle_.get();
    const std::string command = argument.empty() ? verb : verb + " " + argument;
    BoundedSink sink;
    sink.text = &listing;
    sink.bound = MaxListingBytes;
    Replies replies{&errorReply_, ""};
    curl_easy_setopt(h, CURLOPT_DIRLISTONLY, 1L);
    curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, command.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBounded);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, KeepReplies);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &replies);
    const CURLcode code = curl_easy_perform(h);
    if (sink.overrun) {
      const std::string detail = "the listing passed " + std::to_string(MaxListingBytes) +
                                 " bytes, the most a listing may be: it was cut off";
      throw EFtpError("FTP " + what + " refused: " + detail, true, detail);
    }
    // The server's word that it cut the listing short comes in the reply that ends it.
    if (cut) {
      cut->clear();
      for (const std::string& line : ServerLines(replies.lines))
        if (SaysCut(line)) *cut = line;
    }
    const bool nothing = errorReply_.starts_with("450") || errorReply_.starts_with("550");
    // libcurl ends a listing answered 450 as an empty one, and reports the listing command's
    // other refusals as CURLE_FTP_COULDNT_RETR_FILE; a refused PORT or EPRT comes before it.
    if (code == CURLE_OK) return !errorReply_.starts_with("450");
    if (code == CURLE_FTP_COULDNT_RETR_FILE && nothing) return false;
    if (code == CURLE_FTP_PORT_FAILED && Refused()) {
      const std::string detail =
          "the server refused the data connection of active mode (" + errorReply_ + ")";
      throw EFtpError("FTP " + what + " failed: " + detail, true, detail);
    }
    Fail(what, code);
  }

  // The names of the files of a detailed listing in the form of "ls -l" ("-rw-r--r-- 1 owner
  // group 2 Dec  7 16:35 name"); lines of other forms, and of what is no file, are passed by.
  static std::vector<std::string> DetailedNames(const std::string& listing) {
    std::vector<std::string> names;
    for (const std::string& line : ServerLines(listing)) {
      if (line.empty() || line[0] != '-') continue;
      size_t at = 0;
      for (int field = 0; field < 8 && at != std::string::npos; ++field) {
        at = line.find_first_not_of(' ', at);
        if (at != std::string::npos) at = line.find(' ', at);
      }
      if (at == std::string::npos || at + 1 >= line.size()) continue;
      const std::string name = line.substr(at + 1);
      if (name.find('/') == std::string::npos) names.push_back(name);
    }
    return names;
  }

  // The names of a listing, each less the folder that the server may have put in front.
  static std::vector<std::string> Names(const std::string& listing, const std::string& folder) {
    std::string backslashed = folder;
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    std::vector<std::string> names;
    for (std::string line : ServerLines(listing)) {
      // Some servers list "folder/name": keep the name. A backslash in a name is part of it
      // (a file on the server may be named so), so only the folder as we sent it, or what
      // stands before a "/", is taken off.
      if (!folder.empty() && (line.starts_with(folder) || line.starts_with(backslashed))) {
        line.erase(0, folder.size());
      } else if (const size_t slash = line.rfind('/'); slash != std::string::npos) {
        line.erase(0, slash + 1);
      }
      if (line.empty() || line == "." || line == "..") continue;
      names.push_back(line);
    }
    return names;
  }

  // Whether the server lets the session into folder (the home folder is there); refusal: its
  // reply when not. The session goes back to the home folder at once: every other request
  // names its paths from there, and libcurl sends a rename's or a delete's commands before
  // it would go back itself.
  bool FolderThere(const std::string& folder, std::string& refusal) {
    if (folder.empty()) return true;
    EnsureHandle();
    char* entry = nullptr;
    const std::string home =
        curl_easy_getinfo(handle_.get(), CURLINFO_FTP_ENTRY_PATH, &entry) == CURLE_OK && entry
            ? entry
            : "";
    SlistPtr commands;
    SlistAppend(commands, "CWD " + folder);
    if (!home.empty()) SlistAppend(commands, "CWD " + home);
    Prepare("");
    curl_easy_setopt(handle_.get(), CURLOPT_NOBODY, 1L);
    curl_easy_setopt(handle_.get(), CURLOPT_QUOTE, commands.get());
    const CURLcode code = curl_easy_perform(handle_.get());
    // A server that would not say its home folder leaves the session nowhere to go back to.
    if (home.empty()) Disconnect();
    if (code == CURLE_OK) return true;
    if (code == CURLE_QUOTE_ERROR && Refused() && !errorReply_.empty()) {
      refusal = errorReply_;
      return false;
    }
    Fail("question whether " + folder + " exists", code);
  }

  void EnsureHandle() {
    if (!handle_) Connect();
  }

  // After a stop no new command goes out: what the steps would do next is left undone, as
  // on a lost connection, so that none of it is taken for done or for refused.
  static void RefuseWhenStopping(const std::string& what) {
    if (StopRequested())
      throw EFtpError("FTP " + what + " not done: the client is stopping", false,
                      "the client is stopping");
  }

  // Options of every request; reset keeps the live connection of the handle.
  void Prepare(const std::string& path) {
    RefuseWhenStopping("request of /" + path);
    CURL* h = handle_.get();
    curl_easy_reset(h);
    std::string url = "ftp://" + Host + "/";
    size_t start = 0;
    while (start < path.size()) {
      size_t end = path.find('/', start);
      const bool folder = end != std::string::npos;
      if (!folder) end = path.size();
      const std::string segment = path.substr(start, end - start);
      if (!segment.empty()) {
        char* escaped = curl_easy_escape(h, segment.c_str(), static_cast<int>(segment.size()));
        url += escaped;
        curl_free(escaped);
        if (folder) url += "/";
      }
      start = end + 1;
    }
    error_[0] = '\0';
    errorReply_.clear();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, KeepErrorReply);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &errorReply_);
    curl_easy_setopt(h, CURLOPT_USERNAME, Username.c_str());
    curl_easy_setopt(h, CURLOPT_PASSWORD, Password.c_str());
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(h, CURLOPT_ACCEPTTIMEOUT_MS, 30000L);
    curl_easy_setopt(h, CURLOPT_SERVER_RESPONSE_TIMEOUT, 60L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, 120L);
    curl_easy_setopt(h, CURLOPT_TRANSFERTEXT, 0L);
    // No CWD: the server's folder stays the home folder, so the paths of every command,
    // the DELE of Delete included, are relative to it.
    curl_easy_setopt(h, CURLOPT_FTP_FILEMETHOD, static_cast<long>(CURLFTPMETHOD_NOCWD));
    // "-": the data connection listens on the address of the control connection, and only
    // the server may connect to it; in passive mode the data connection goes to the
    // server's address, whatever address its reply to PASV names.
    curl_easy_setopt(h, CURLOPT_FTPPORT, "-");
    curl_easy_setopt(h, CURLOPT_SOCKOPTFUNCTION, CheckDataConnection);
    curl_easy_setopt(h, CURLOPT_SOCKOPTDATA, this);
    curl_easy_setopt(h, CURLOPT_FTP_SKIP_PASV_IP, 1L);
    foreignData_.clear();
    // A stop cuts a wait short (a reply that never comes, a slow transfer).
    AbortOnStop(h);
  }

  void Perform(const std::string& what) {
    const CURLcode code = curl_easy_perform(handle_.get());
    if (code != CURLE_OK) Fail(what, code);
  }

  // A data connection that active mode accepted must come from the server the session talks
  // to: anyone else who reached the port could send a listing or a packet of its own, or
  // take an upload.
  static int CheckDataConnection(void* self, curl_socket_t socket, curlsocktype purpose) {
    if (purpose != CURLSOCKTYPE_ACCEPT) return CURL_SOCKOPT_OK;
    auto* session = static_cast<CurlFtpSession*>(self);
    char* ip = nullptr;
    std::string server;
    if (curl_easy_getinfo(session->handle_.get(), CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip)
      server = ip;
    const std::string peer = PeerAddress(socket);
    if (!server.empty() && peer == server) return CURL_SOCKOPT_OK;
    session->foreignData_ = "the data connection came from " +
                            (peer.empty() ? std::string("an unknown address") : peer) +
                            ", not from the server " + server;
    return CURL_SOCKOPT_ERROR;
  }

  [[noreturn]] void Fail(const std::string& what, CURLcode code) {
    if (!foreignData_.empty())
      throw EFtpError("FTP " + what + " refused: " + foreignData_, true, foreignData_);
    // Cut short by a stop: nothing is known of the command's outcome, as on a lost
    // connection, and the session is no longer usable.
    if (code == CURLE_ABORTED_BY_CALLBACK && StopRequested()) {
      handle_.reset();
      throw EFtpError("FTP " + what + " stopped: the client is stopping", false,
                      "the client is stopping");
    }
    // The server's own reply names the cause. Without one (no connection, a timeout) libcurl's
    // code does; its error buffer may hold an earlier note of the same request that did no
    // harm (active mode's "sa_addr inet_ntop() failed"), so it is added only beside the code.
    std::string detail = errorReply_;
    if (detail.empty()) {
      detail = curl_easy_strerror(code);
      if (error_[0] && std::string(error_).find("inet_ntop") == std::string::npos)
        detail += std::string(" (") + error_ + ")";
    }
    throw EFtpError("FTP " + what + " failed: " + detail, Refused(), detail);
  }

  // Whether the running request failed for the server's answer to a command, with the
  // session going on. A 421 reply closes the session: it is no answer to the command.
  bool Refused() const { return !errorReply_.empty() && !errorReply_.starts_with("421"); }

  CurlPtr handle_;
  char error_[CURL_ERROR_SIZE] = {};
  std::string errorReply_;   // the server's last error reply of the running request
  std::string foreignData_;  // why the running request's data connection was refused
};

}  // namespace

std::unique_ptr<FtpSession> NewCurlFtpSession() { return std::make_unique<CurlFtpSession>(); }

}  // namespace v7
