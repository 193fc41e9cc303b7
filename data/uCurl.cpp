// libcurl's set-up and handle owners (see uCurl.h).
#include "uCurl.h"

#include <csignal>
#include <mutex>

namespace v7 {

void EnsureCurlGlobal() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlPtr NewCurlHandle() {
  EnsureCurlGlobal();
  return CurlPtr(curl_easy_init());
}

namespace {

volatile std::sig_atomic_t gStop = 0;

// libcurl calls it about once a second even while nothing arrives; non-zero aborts.
int AbortWhenStopping(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return gStop ? 1 : 0;
}

}  // namespace

void RequestStop() { gStop = 1; }
bool StopRequested() { return gStop != 0; }
void ClearStop() { gStop = 0; }

void AbortOnStop(CURL* handle) {
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, AbortWhenStopping);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

void SlistAppend(SlistPtr& list, const std::string& line) {
  curl_slist* next = curl_slist_append(list.get(), line.c_str());
  if (!next) return;
  (void)list.release();
  list.reset(next);
}

}  // namespace v7
