// libcurl's process-wide set-up and owners of its handles, for the units that speak a network
// protocol through it (mail, FTP, SOAP), and the stop that cuts their waits short.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>

namespace v7 {

// libcurl's global set-up, done once for the process: it is not thread-safe, so it is not
// left to the first curl_easy_init.
void EnsureCurlGlobal();

struct CurlDeleter {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
struct SlistDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlPtr = std::unique_ptr<CURL, CurlDeleter>;
using SlistPtr = std::unique_ptr<curl_slist, SlistDeleter>;

// A new easy handle, after the global set-up; null when libcurl cannot make one.
CurlPtr NewCurlHandle();

// Appends a line to a list; when libcurl cannot, the list stays as it was.
void SlistAppend(SlistPtr& list, const std::string& line);

// The process was asked to stop (a stop signal). Set from a signal handler, so it is only a
// flag: the waits that must end for it look at it.
void RequestStop();
bool StopRequested();
// Forgets a stop (a new run of the client in the same process).
void ClearStop();

// Makes a transfer of the handle end with CURLE_ABORTED_BY_CALLBACK within about a second of
// a stop, whatever it waits for (a connection, a reply that never comes). Set again after each
// curl_easy_reset. Only for transfers whose loss the caller takes as a lost connection.
void AbortOnStop(CURL* handle);

}  // namespace v7
