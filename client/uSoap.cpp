// SOAP 1.1 calls of the central service: one HTTP POST per call, RPC/encoded envelope.
#include "uSoap.h"

#include <cstring>
#include <pugixml.hpp>
#include <sstream>

#include "uCurl.h"

namespace v7 {

namespace {

// The namespace of the interface; a call's SOAPAction is it, "#" and the method's name.
const char* const KVTDBXNamespace = "urn:uIKVTDBX-IKVTDBX";

const char* const kEnvNs = "http://schemas.xmlsoap.org/soap/envelope/";
const char* const kEncNs = "http://schemas.xmlsoap.org/soap/encoding/";
const char* const kXsdNs = "http://www.w3.org/2001/XMLSchema";
const char* const kXsiNs = "http://www.w3.org/2001/XMLSchema-instance";

// Replies may use any prefix (or none) for the envelope's elements, so names are compared
// without their prefix.
std::string LocalName(const char* name) {
  const char* colon = std::strchr(name, ':');
  return colon ? colon + 1 : name;
}

pugi::xml_node ChildByLocalName(const pugi::xml_node& parent, const std::string& local) {
  for (pugi::xml_node child : parent.children()) {
    if (child.type() == pugi::node_element && LocalName(child.name()) == local) return child;
  }
  return {};
}

// An attribute by its local name, whatever prefix the server gave it.
pugi::xml_attribute AttributeByLocalName(const pugi::xml_node& node, const std::string& local) {
  for (pugi::xml_attribute a : node.attributes()) {
    if (LocalName(a.name()) == local) return a;
  }
  return {};
}

std::string TextOf(const pugi::xml_node& node) {
  std::string text;
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
      text += child.value();
    }
  }
  return text;
}

// A multi-reference value: the element that carries id="<id>" anywhere in the body.
pugi::xml_node FindById(const pugi::xml_node& body, const std::string& id) {
  return body.find_node([&](const pugi::xml_node& n) {
    pugi::xml_attribute a = n.attribute("id");
    return n.type() == pugi::node_element && a && id == a.value();
  });
}

// Raises the fault string when the body holds a SOAP fault.
void RaiseFault(const pugi::xml_node& body) {
  pugi::xml_node fault = ChildByLocalName(body, "Fault");
  if (!fault) return;
  std::string text = TextOf(ChildByLocalName(fault, "faultstring"));
  if (text.empty()) text = "SOAP fault " + TextOf(ChildByLocalName(fault, "faultcode"));
  throw ESoapError(text);
}

// The reply is held in memory whole: a server that never ends its reply must not grow it
// until the process fails. No answer of the service comes near this size.
constexpr size_t kMaxReplyBytes = 64u << 20;

struct ReplyBuffer {
  std::string text;
  bool tooLarge = false;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  ReplyBuffer& reply = *static_cast<ReplyBuffer*>(user);
  if (reply.text.size() + size * count > kMaxReplyBytes) {
    reply.tooLarge = true;
    return 0;  // ends the transfer
  }
  reply.text.append(data, size * count);
  return size * count;
}

}  // namespace

std::string KVTDBXSoapClient::BuildEnvelope(const std::string& method, const std::string& part,
                                            const std::string& value) {
  pugi::xml_document doc;
  pugi::xml_node env = doc.append_child("SOAP-ENV:Envelope");
  env.append_attribute("xmlns:SOAP-ENV") = kEnvNs;
  env.append_attribute("xmlns:xsd") = kXsdNs;
  env.append_attribute("xmlns:xsi") = kXsiNs;
  env.append_attribute("xmlns:SOAP-ENC") = kEncNs;
  pugi::xml_node body = env.append_child("SOAP-ENV:Body");
  body.append_attribute("SOAP-ENV:encodingStyle") = kEncNs;
  pugi::xml_node call = body.append_child(("NS1:" + method).c_str());
  call.append_attribute("xmlns:NS1") = KVTDBXNamespace;
  pugi::xml_node arg = call.append_child(part.c_str());
  arg.append_attribute("xsi:type") = "xsd:string";
  arg.text().set(value.c_str());
  std::ostringstream out;
  doc.save(out, "", pugi::format_raw | pugi::format_no_declaration);
  return "<?xml version=\"1.0\"?>" + out.str();
}

std::string KVTDBXSoapClient::ReadReturn(const std::string& method, const std::string& reply) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed = doc.load_buffer(reply.data(), reply.size());
  if (!parsed) {
    throw ESoapError(std::string("The service's reply to ") + method +
                     " is not XML: " + parsed.description());
  }
  pugi::xml_node env = doc.document_element();
  pugi::xml_node body =
      LocalName(env.name()) == "Envelope" ? ChildByLocalName(env, "Body") : pugi::xml_node();
  if (!body)
    throw ESoapError(std::string("The service's reply to ") + method + " is no SOAP envelope");

  RaiseFault(body);

  // The response element is named after the method; a lenient reader also takes the first
  // element of the body that is not a multi-reference value.
  pugi::xml_node response = ChildByLocalName(body, method + "Response");
  if (!response) {
    for (pugi::xml_node child : body.children()) {
      if (child.type() == pugi::node_element && !child.attribute("id")) {
        response = child;
        break;
      }
    }
  }
  if (!response) throw ESoapError(std::string("The service's reply to ") + method + " is empty");

  pugi::xml_node ret =
      response.find_child([](const pugi::xml_node& n) { return n.type() == pugi::node_element; });
  if (!ret) return "";
  pugi::xml_attribute href = ret.attribute("href");
  if (href && href.value()[0] == '#') {
    pugi::xml_node target = FindById(body, href.value() + 1);
    if (!target) target = FindById(env, href.value() + 1);
    if (!target) {
      throw ESoapError(std::string("The service's reply to ") + method +
                       " refers to a missing value " + href.value());
    }
    ret = target;
  }
  pugi::xml_attribute nil = AttributeByLocalName(ret, "nil");
  if (nil && (std::string(nil.value()) == "true" || std::string(nil.value()) == "1")) return "";
  return TextOf(ret);
}

std::string KVTDBXSoapClient::Call(const std::string& method, const std::string& part,
                                   const std::string& value) {
  if (url_.empty()) throw ESoapError("No URL is set for the service (setting url)");
  if (StopRequested())
    throw ESoapError("Call of " + method + " at " + url_ + " not made: the client is stopping");
  const std::string request = BuildEnvelope(method, part, value);
  const std::string action = std::string("SOAPAction: \"") + KVTDBXNamespace + "#" + method + "\"";

  CurlPtr handle = NewCurlHandle();
  if (!handle) throw ESoapError("Cannot start an HTTP session");
  ReplyBuffer body;
  const std::string& reply = body.text;
  char error[CURL_ERROR_SIZE] = {0};
  SlistPtr headers;
  SlistAppend(headers, "Content-Type: text/xml");
  SlistAppend(headers, action);
  SlistAppend(headers, "Expect:");
  curl_easy_setopt(handle.get(), CURLOPT_URL, url_.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(handle.get(), CURLOPT_USERAGENT, "v7client");
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDS, request.c_str());
  curl_easy_setopt(handle.get(), CURLOPT_POSTFIELDSIZE, static_cast<long>(request.size()));
  curl_easy_setopt(handle.get(), CURLOPT_WRITEFUNCTION, CollectBody);
  curl_easy_setopt(handle.get(), CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(handle.get(), CURLOPT_ERRORBUFFER, error);
  // Server certificates are checked (libcurl's default): the reply names the FTP account that
  // the site's packets and patches come from, so a forged server could run SQL on the site.

  // An unattended client must not hang at start-up on a server that never answers.
  curl_easy_setopt(handle.get(), CURLOPT_CONNECTTIMEOUT, 30L);
  curl_easy_setopt(handle.get(), CURLOPT_TIMEOUT, 300L);
  // Nor hold a stop for that long.
  AbortOnStop(handle.get());

  CURLcode rc = curl_easy_perform(handle.get());
  if (body.tooLarge)
    throw ESoapError("The service's reply to " + method + " from " + url_ + " is larger than " +
                     std::to_string(kMaxReplyBytes >> 20) + " MB: refused");
  if (rc == CURLE_ABORTED_BY_CALLBACK && StopRequested())
    throw ESoapError("Call of " + method + " at " + url_ + " stopped: the client is stopping");
  if (rc != CURLE_OK) {
    std::string text = error[0] ? error : curl_easy_strerror(rc);
    throw ESoapError("Call of " + method + " at " + url_ + " failed: " + text);
  }
  long status = 0;
  curl_easy_getinfo(handle.get(), CURLINFO_RESPONSE_CODE, &status);
  // A SOAP fault comes with status 500: its fault string is the better message.
  if (status >= 300) {
    pugi::xml_document doc;
    if (doc.load_buffer(reply.data(), reply.size())) {
      RaiseFault(ChildByLocalName(doc.document_element(), "Body"));
    }
    throw ESoapError("Call of " + method + " at " + url_ + " failed: HTTP status " +
                     std::to_string(status));
  }
  return ReadReturn(method, reply);
}

std::string KVTDBXSoapClient::SaveData(const std::string& XML) {
  return Call("SaveData", "XML", XML);
}
std::string KVTDBXSoapClient::LoadData(const std::string& S) { return Call("LoadData", "S", S); }
std::string KVTDBXSoapClient::DeleteData(const std::string& S) {
  return Call("DeleteData", "S", S);
}
std::string KVTDBXSoapClient::GetIView(const std::string& S) { return Call("GetIView", "S", S); }
std::string KVTDBXSoapClient::GetOptions(const std::string& S) {
  return Call("GetOptions", "S", S);
}
std::string KVTDBXSoapClient::GetChoices(const std::string& S) {
  return Call("GetChoices", "S", S);
}
std::string KVTDBXSoapClient::GetParams(const std::string& S) { return Call("GetParams", "S", S); }
std::string KVTDBXSoapClient::GetTStruct(const std::string& s) {
  return Call("GetTStruct", "s", s);
}
std::string KVTDBXSoapClient::SendMail(const std::string& s) { return Call("SendMail", "s", s); }
std::string KVTDBXSoapClient::GetFTPProps(const std::string& s) {
  return Call("GetFTPProps", "s", s);
}
std::string KVTDBXSoapClient::SaveError(const std::string& s) { return Call("SaveError", "s", s); }
std::string KVTDBXSoapClient::CheckDb(const std::string& s) { return Call("CheckDb", "s", s); }

}  // namespace v7
