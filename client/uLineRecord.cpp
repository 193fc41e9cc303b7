// The files of the working folder that the transfer steps keep: whole-file writes and reads,
// and the line records of what each step has done with a file on the server.
#include "uLineRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "uMD5.h"
#include "uTextEncoding.h"
#include "uZStream.h"

namespace v7 {

namespace fs = std::filesystem;

// The working folder is the client's, but what stands in it may not be: a link planted as a
// file that the client makes (a packet, a record, the trace of a run) would make it write
// over the link's target.
int OpenNewFile(const std::string& fileName, unsigned mode) {
  const auto refused = [&](int error) {
    return EFCreateError("Cannot create file \"" + fileName + "\". " + strerror(error), error);
  };
  struct stat st {};
  if (lstat(fileName.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw refused(EISDIR);
    if (!S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
      const int fd = open(fileName.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) throw refused(errno);
      return fd;
    }
    if (unlink(fileName.c_str()) != 0 && errno != ENOENT) throw refused(errno);
  }
  const int fd = open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      static_cast<mode_t>(mode));
  if (fd < 0) throw refused(errno);
  return fd;
}

// Writes a whole file, or none: a file cut by a full disk or the file size limit is removed,
// so that it does not keep the disk full for the files written after it, and the message
// names the cause ("No space left on device", "File too large").
void WriteBytes(const std::string& fileName, const std::string& bytes) {
  const int fd = OpenNewFile(fileName, 0666);
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n >= 0)
      done += static_cast<size_t>(n);
    else if (errno != EINTR)
      error = errno;
  }
  // Some file systems report a full disk only when the file is closed.
  if (close(fd) != 0 && error == 0 && errno != EINTR) error = errno;
  if (error == 0) return;
  unlink(fileName.c_str());
  throw EFCreateError("Cannot write file \"" + fileName + "\". " + strerror(error));
}

std::string ReadBytes(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// The lines of a text file, as UTF-8; a line ends at CR LF, LF or CR. A file that is not
// UTF-8 is read in the Windows code page of the product's other programs; one that is
// neither is refused whole, before any of its lines is used.
std::vector<std::string> ReadLines(const std::string& fileName) {
  std::string text;
  try {
    text = PlainTextToUtf8(ReadBytes(fileName));
  } catch (const ETextEncodingError& e) {
    throw ETextEncodingError(std::string(e.what()) + " in \"" + fileName + "\"");
  }
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      lines.push_back(line);
      line.clear();
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

void RemoveQuietly(const std::string& fileName) {
  std::error_code ec;
  fs::remove(fileName, ec);
}

std::string BytesDigest(const std::string& bytes) {
  const TMD5 md5;
  return md5.MD5Print(md5.MD5String(bytes));
}

std::string Digest(const std::string& fileName) { return BytesDigest(ReadBytes(fileName)); }

// Copies source to a new file target; what stood there already is never touched. A copy
// that fails half-way (a full disk) is removed, so that no empty or cut file is left.
bool CopyNew(const fs::path& source, const fs::path& target) {
  std::error_code ec;
  const bool stood = fs::exists(fs::symlink_status(target, ec));
  if (fs::copy_file(source, target, ec)) return true;
  if (!stood) fs::remove(target, ec);
  return false;
}

TLineRecord::TLineRecord(std::string fileName) : file_(std::move(fileName)) {
  std::ifstream in(file_, std::ios::binary);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines_.push_back(line);
}

bool TLineRecord::Contains(const std::string& line) const {
  return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
}

void TLineRecord::Add(const std::string& line) {
  if (Contains(line)) return;
  lines_.push_back(line);
  try {
    Save();
  } catch (...) {
    lines_.pop_back();
    throw;
  }
}

void TLineRecord::Remove(const std::string& line) {
  const auto it = std::find(lines_.begin(), lines_.end(), line);
  if (it == lines_.end()) return;
  lines_.erase(it);
  Save();
}

void TLineRecord::RemoveIf(const std::function<bool(const std::string&)>& gone) {
  const auto end = std::remove_if(lines_.begin(), lines_.end(), gone);
  if (end == lines_.end()) return;
  lines_.erase(end, lines_.end());
  Save();
}

void TLineRecord::Save() {
  std::string text;
  for (const std::string& line : lines_) text += line + "\n";
  const std::string temporary = file_ + ".new";
  WriteBytes(temporary, text);
  try {
    fs::rename(temporary, file_);
  } catch (...) {
    RemoveQuietly(temporary);
    throw;
  }
}

// What a record line holds after its first `fields` blank-separated fields (a name may hold
// blanks).
std::string FieldsAfter(const std::string& line, int fields) {
  size_t at = 0;
  for (int i = 0; i < fields && at != std::string::npos; ++i) {
    at = line.find(' ', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? "" : line.substr(at);
}

std::string UtcStamp(std::time_t when) {
  std::tm utc{};
  gmtime_r(&when, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return stamp;
}

// -1 for a text that is no stamp of UtcStamp.
std::time_t ParseUtcStamp(const std::string& text) {
  std::tm utc{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return end && *end == '\0' ? timegm(&utc) : -1;
}

// Seconds since `what` was first seen, by this site's clock: records of "<time> <what>" lines.
// What is new is noted now; so is what was noted at a time still to come (the clock was put
// back), which would otherwise wait until the clock is there again.
std::time_t SecondsSinceFirstSeen(TLineRecord& record, const std::string& what) {
  const std::time_t now = std::time(nullptr);
  for (const std::string& line : record.Lines()) {
    if (FieldsAfter(line, 1) != what) continue;
    const std::time_t first = ParseUtcStamp(line.substr(0, line.find(' ')));
    if (first >= 0 && first <= now) return now - first;
    record.Remove(line);
    break;
  }
  record.Add(UtcStamp(now) + " " + what);
  return 0;
}

}  // namespace v7
