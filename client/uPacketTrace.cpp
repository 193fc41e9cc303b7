// The trace of one packet's run (see uPacketTrace.h).
#include "uPacketTrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace v7 {

namespace {

// One packet runs at a time; the trace file is the process's one.
struct RunStart {
  std::string traceFile;
  std::string xmlFile;
  std::uintmax_t offset = 0;
};
RunStart gRun;

bool WriteNew(const std::string& target, const std::string& bytes) {
  const int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  const bool whole = ::close(fd) == 0 && done == bytes.size();
  if (!whole) ::unlink(target.c_str());  // a cut trace would pass for the whole run
  return whole;
}

}  // namespace

void NotePacketRunStart(const std::string& traceFile, const std::string& xmlFile) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(traceFile, ec);
  gRun = {traceFile, xmlFile, ec ? 0 : size};
}

bool CopyPacketRunTrace(const std::string& xmlFile, const std::string& target) {
  if (gRun.xmlFile.empty() || gRun.xmlFile != xmlFile) return false;
  std::ifstream in(gRun.traceFile, std::ios::binary);
  if (!in) return false;
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(gRun.traceFile, ec);
  // A file shorter than at the start was rotated during the run: all it holds is of it.
  if (!ec && size >= gRun.offset) in.seekg(static_cast<std::streamoff>(gRun.offset));
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (in.bad()) return false;
  return WriteNew(target, bytes.str());
}

}  // namespace v7
