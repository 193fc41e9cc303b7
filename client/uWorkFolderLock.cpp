// The lock of the working folder (see uWorkFolderLock.h).
#include "uWorkFolderLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "uGeneralFunctions.h"

namespace v7 {

namespace {

const char kLockFile[] = "v7client.lock";

std::string WorkFolder() {
  std::error_code ec;
  return std::filesystem::current_path(ec).string();
}

// The process id that the holder wrote into the file; empty when it wrote none (yet).
std::string HolderOf(int fd) {
  char buf[32] = {};
  const ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
  if (n <= 0) return "";
  std::string text(buf, static_cast<size_t>(n));
  text = TrimStr(text);
  for (char c : text)
    if (c < '0' || c > '9') return "";
  return text;
}

}  // namespace

TWorkFolderLock::TWorkFolderLock() {
  // Not opened with O_TRUNC: the holder's process id is read from it before this client
  // knows whether it gets the lock.
  // Never through a link: the process id written below would overwrite the link's target.
  fd_ = ::open(kLockFile, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  // A file left by another user (a client once run by root) locks as well when it can only
  // be read: the process id is then not written, and only a second client's message lacks it.
  if (fd_ < 0 && errno == EACCES)
    fd_ = ::open(kLockFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0 && errno == ELOOP)
    throw EInOutError("Cannot lock the working folder " + WorkFolder() + ": " + kLockFile +
                      " is a symbolic link, which the client does not follow: remove it");
  if (fd_ < 0) {
    const int err = errno;
    throw EInOutError("Cannot lock the working folder " + WorkFolder() + ": " + kLockFile + ": " +
                      std::strerror(err) +
                      (err == EACCES ? " (left by another user: remove it while no client runs "
                                       "on the folder)"
                                     : ""));
  }
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw EInOutError("Cannot lock the working folder " + WorkFolder() + ": " + kLockFile +
                      " is no plain file: remove it");
  }
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    const int err = errno;
    const std::string holder = err == EWOULDBLOCK ? HolderOf(fd_) : "";
    ::close(fd_);
    fd_ = -1;
    if (err != EWOULDBLOCK)
      throw EInOutError("Cannot lock the working folder " + WorkFolder() + ": " + kLockFile + ": " +
                        std::strerror(err));
    throw EInOutError("The working folder " + WorkFolder() + " is in use by another client" +
                      (holder.empty() ? "" : " (process " + holder + ")") +
                      ": one client per working folder");
  }
  // Only for the message of a second client: the lock itself is the kernel's.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd_, 0) == 0) {
    [[maybe_unused]] const ssize_t written = ::pwrite(fd_, pid.data(), pid.size(), 0);
  }
}

TWorkFolderLock::~TWorkFolderLock() {
  if (fd_ >= 0) ::close(fd_);  // closing gives the lock back
}

}  // namespace v7
