// One client per working folder: two clients on one folder would share transit/ and take
// each other's claims and records for their own. A client holds a kernel lock on the file
// "v7client.lock" in its working folder for as long as it runs; the kernel gives it back
// however the process ends, so a client that was killed leaves no stale lock.
#pragma once

#include <string>

namespace v7 {

class TWorkFolderLock {
 public:
  // The lock of the current working folder. Raises EInOutError when another process holds
  // it (the message names the folder, and the holder's process id as it wrote it) or when
  // the lock file cannot be made.
  TWorkFolderLock();
  ~TWorkFolderLock();
  TWorkFolderLock(const TWorkFolderLock&) = delete;
  TWorkFolderLock& operator=(const TWorkFolderLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace v7
