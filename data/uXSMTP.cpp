// Mail sender over libcurl's SMTP client and MIME builder.
#include "uXSMTP.h"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <cctype>
#include <ctime>
#include <memory>
#include <stdexcept>

#include "uCurl.h"
#include "uGeneralFunctions.h"
#include "uXmlText.h"

namespace v7 {

namespace {

const char* const kDone = "done";

struct MimeDeleter {
  void operator()(curl_mime* m) const { curl_mime_free(m); }
};
using MimePtr = std::unique_ptr<curl_mime, MimeDeleter>;

// The platform's text-to-integer conversion: blanks around a signed decimal number.
int PortNumber(const std::string& text) {
  const std::string t = TrimStr(text);
  size_t i = (!t.empty() && (t[0] == '-' || t[0] == '+')) ? 1 : 0;
  bool ok = i < t.size() && t.size() - i <= 9;
  for (size_t k = i; ok && k < t.size(); ++k) ok = std::isdigit(static_cast<unsigned char>(t[k]));
  if (!ok) throw EConvertError("'" + text + "' is not a valid integer value");
  return std::stoi(t);
}

// A header value may not carry line breaks: they would start headers of the sender's choice.
std::string HeaderSafe(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c == '\r' || c == '\n') c = ' ';
  return r;
}

// Non-ASCII subjects travel as an RFC 2047 encoded word.
std::string EncodedSubject(const std::string& s) {
  bool ascii = true;
  for (unsigned char c : s) ascii = ascii && c < 0x80;
  if (ascii) return s;
  std::string out(4 * ((s.size() + 2) / 3) + 1, '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                      reinterpret_cast<const unsigned char*>(s.data()), static_cast<int>(s.size()));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return "=?UTF-8?B?" + out + "?=";
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Whether one entry of an address list is one address as the envelope takes it: a bare
// address, or a name followed by the address in "<" and ">" with nothing after it. The
// address itself holds no blank, "<" or ">": the envelope command carries it as it stands,
// and "a@x.org> SIZE=1 <y" would give the server parameters of the sender's choice.
bool IsOneAddress(const std::string& entry) {
  const size_t lt = entry.find('<');
  std::string address = entry;
  if (lt != std::string::npos) {
    const size_t gt = entry.find('>', lt);
    if (gt == std::string::npos || !TrimStr(entry.substr(gt + 1)).empty() ||
        entry.substr(0, lt).find('>') != std::string::npos)
      return false;
    address = entry.substr(lt + 1, gt - lt - 1);
  }
  if (address.empty()) return false;
  for (unsigned char c : address)
    if (c == ' ' || c == '<' || c == '>') return false;
  return true;
}

// An address goes into the envelope commands as it is: a line break would end the command
// and start one of the sender's choice (another recipient, say), so an address holding a
// control character, or more than one address, is refused, not mended. Blanks and line
// breaks around the addresses of a list are layout and stay allowed.
void CheckAddresses(const char* what, const std::string& list) {
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    const std::string entry = TrimStr(list.substr(start, end - start));
    for (unsigned char c : entry)
      if (IsControl(c))
        throw std::runtime_error(std::string("Mail ") + what +
                                 " address holds a line break or another control character");
    if (!entry.empty() && !IsOneAddress(entry))
      throw std::runtime_error(std::string("Mail ") + what + " address \"" + entry +
                               "\" is not one address: it may hold no blank, \"<\" or \">\" "
                               "but a name before <address>");
    start = end + 1;
  }
}

// An attachment's file name goes into a header of its part: a line break there would start
// a header of the sender's choice.
void CheckAttachments(const std::vector<std::string>& paths) {
  for (const std::string& path : paths)
    for (unsigned char c : path)
      if (IsControl(c))
        throw std::runtime_error(
            "Mail attachment file name holds a line break or another control character");
}

// "Name <a@b>" gives "<a@b>"; a bare address is wrapped.
std::string EnvelopeAddress(const std::string& entry) {
  const std::string t = TrimStr(entry);
  const size_t lt = t.find('<');
  const size_t gt = t.find('>', lt == std::string::npos ? 0 : lt);
  if (lt != std::string::npos && gt != std::string::npos) return t.substr(lt, gt - lt + 1);
  return "<" + t + ">";
}

std::string CrLfLines(const std::string& body) {
  std::string r;
  r.reserve(body.size() + 16);
  for (size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\r') {
      r += "\r\n";
      if (i + 1 < body.size() && body[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      r += "\r\n";
    } else {
      r += c;
    }
  }
  return r;
}

std::string DateHeader() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &tm);
  return buf;
}

std::string FileName(const std::string& path) {
  const size_t p = path.find_last_of("/\\");
  return p == std::string::npos ? path : path.substr(p + 1);
}

bool ReadableFile(const std::string& path) {
  struct stat st {};
  if (path.empty() || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::fclose(f);
  return true;
}

}  // namespace

TXSMTP::TXSMTP() : Status_(kDone) {}

TSmtpSettings TXSMTP::ReadSettings(const std::string& settings) {
  std::string host, port, user, password;
  size_t start = 0;
  while (start <= settings.size()) {
    size_t end = settings.find('\n', start);
    if (end == std::string::npos) end = settings.size();
    std::string line = settings.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq != std::string::npos) {
      const std::string name = LowerStr(TrimStr(line.substr(0, eq)));
      const std::string value = line.substr(eq + 1);
      // The first line of a name wins, as a name=value list looks names up.
      if (name == "host" && host.empty()) host = value;
      if (name == "port" && port.empty()) port = value;
      if (name == "userid" && user.empty()) user = value;
      if (name == "password" && password.empty()) password = value;
    }
    start = end + 1;
  }
  TSmtpSettings s;
  s.Host = TrimStr(host);
  s.Port = PortNumber(port);
  s.UserId = user;
  s.Password = password;
  return s;
}

void TXSMTP::SendMail(const std::string& settings, const std::string& mailXml,
                      std::string& status) {
  Status_ = kDone;
  SMTP_ = ReadSettings(settings);
  Msg_ = TMailMessage{};
  BuildMessage(mailXml);
  Send();
  status = Status_;
}

void TXSMTP::BuildMessage(const std::string& mailXml) {
  if (TrimStr(mailXml).empty()) throw std::runtime_error("Mail message text is empty");
  // Parsed as a fragment so that what the parser would pass over in silence (a second root,
  // text before or after the root) can be seen and refused.
  const pugi::xml_parse_result parsed =
      Doc_.load_string(mailXml.c_str(), pugi::parse_default | pugi::parse_fragment);
  if (!parsed)
    throw std::runtime_error(std::string("Mail message is not valid XML: ") + parsed.description());
  int roots = 0;
  for (pugi::xml_node n : Doc_.children()) {
    if (n.type() == pugi::node_element) ++roots;
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata)
      throw std::runtime_error("Mail message is not valid XML: text outside the root element");
  }
  if (roots == 0) throw std::runtime_error("Mail message has no root element");
  if (roots > 1)
    throw std::runtime_error("Mail message is not valid XML: more than one root element");
  Msg_.From = GetNodeText("from");
  Msg_.To = GetNodeText("to");
  CheckAddresses("sender", TrimStr(Msg_.From));
  // The envelope carries one sender, as EnvelopeAddress takes it from the whole field: a list
  // ("a@x.org , SIZE=1") would put a blank, and what follows it, into that command.
  if (const std::string from = TrimStr(Msg_.From);
      !from.empty() && !IsOneAddress(EnvelopeAddress(from)))
    throw std::runtime_error("Mail sender address \"" + from +
                             "\" is not one address: the sender is one address, or a name "
                             "before <address>");
  CheckAddresses("recipient", Msg_.To);
  Msg_.Subject = GetNodeText("subject");
  Msg_.Body = GetNodeText("body");
  AddAttachments();
  CheckAttachments(Msg_.Attachments);
}

std::string TXSMTP::GetNodeText(const std::string& name) {
  Node_ = Doc_.document_element().child(name.c_str());
  return Node_ ? XmlElementText(Node_) : "";
}

void TXSMTP::AddAttachments() {
  std::string s = GetNodeText("attachment");
  size_t comma;
  while ((comma = s.find(',')) != std::string::npos) {
    Msg_.Attachments.push_back(s.substr(0, comma));
    s = s.substr(comma + 1);
  }
  if (!TrimStr(s).empty()) Msg_.Attachments.push_back(s);
}

void TXSMTP::Send() {
  // A file that cannot be read fails the send before the server is bothered.
  for (const std::string& path : Msg_.Attachments) {
    if (!ReadableFile(path)) {
      Status_ = "Cannot read attachment file '" + path + "'";
      return;
    }
  }
  CurlPtr curl = NewCurlHandle();
  if (!curl) {
    Status_ = "Cannot start the SMTP client";
    return;
  }
  CURL* h = curl.get();
  char errbuf[CURL_ERROR_SIZE] = {0};
  std::string host = SMTP_.Host;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  const std::string url = "smtp://" + host + ":" + std::to_string(SMTP_.Port);
  const std::string from = EnvelopeAddress(Msg_.From);

  SlistPtr rcpts;
  {
    size_t start = 0;
    const std::string& to = Msg_.To;
    while (start <= to.size()) {
      size_t end = to.find(',', start);
      if (end == std::string::npos) end = to.size();
      const std::string one = TrimStr(to.substr(start, end - start));
      if (!one.empty()) SlistAppend(rcpts, EnvelopeAddress(one));
      start = end + 1;
    }
  }

  SlistPtr headers;
  auto addHeader = [&headers](const std::string& line) { SlistAppend(headers, line); };
  addHeader("Date: " + DateHeader());
  addHeader("From: " + HeaderSafe(Msg_.From));
  addHeader("To: " + HeaderSafe(Msg_.To));
  addHeader("Subject: " + EncodedSubject(HeaderSafe(Msg_.Subject)));

  MimePtr mime(curl_mime_init(h));
  curl_mimepart* text = curl_mime_addpart(mime.get());
  const std::string body = CrLfLines(Msg_.Body);
  curl_mime_data(text, body.c_str(), body.size());
  curl_mime_type(text, "text/plain; charset=utf-8");
  curl_mime_encoder(text, "quoted-printable");
  for (const std::string& path : Msg_.Attachments) {
    curl_mimepart* part = curl_mime_addpart(mime.get());
    curl_mime_filedata(part, path.c_str());
    curl_mime_filename(part, FileName(path).c_str());
    curl_mime_type(part, "application/octet-stream");
    curl_mime_encoder(part, "base64");
  }

  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 300L);
  curl_easy_setopt(h, CURLOPT_USERNAME, SMTP_.UserId.c_str());
  curl_easy_setopt(h, CURLOPT_PASSWORD, SMTP_.Password.c_str());
  curl_easy_setopt(h, CURLOPT_LOGIN_OPTIONS, "AUTH=LOGIN");
  curl_easy_setopt(h, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(h, CURLOPT_MAIL_RCPT, rcpts.get());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h, CURLOPT_MIMEPOST, mime.get());

  // Connect, authenticate and send in one transfer; the handle's cleanup closes the
  // connection whatever happened.
  const CURLcode rc = curl_easy_perform(h);
  if (rc != CURLE_OK) Status_ = errbuf[0] ? std::string(errbuf) : curl_easy_strerror(rc);
}

}  // namespace v7
