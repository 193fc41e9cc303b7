// libcurl's set-up and handle owners (see uCurl.h).
#include "uCurl.h"

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

void SlistAppend(SlistPtr& list, const std::string& line) {
  curl_slist* next = curl_slist_append(list.get(), line.c_str());
  if (!next) return;
  (void)list.release();
  list.reset(next);
}

}  // namespace v7
