// The service's SOAP client against a loopback server that checks every request.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "TestSupport.h"
#include "uSoap.h"

namespace {

using v7::ESoapError;
using v7::KVTDBXSoapClient;

class SoapService {
 public:
  explicit SoapService(const std::string& mode = "echo", const std::string& reply = "") {
    port_ = v7test::FreePort();
    std::vector<std::string> argv = {v7test::SystemPython(),
                                     v7test::FixturesDir() + "/soap_server.py",
                                     std::to_string(port_), log()};
    argv.push_back(mode);
    if (!reply.empty()) argv.push_back(reply);
    server_ = std::make_unique<v7test::ServerProcess>(argv, port_);
  }
  bool running() const { return server_->running(); }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/soap/IKVTDBX"; }
  std::string log() const { return dir_.file("requests.log"); }
  std::string requests() const { return v7test::ReadFile(log()); }

 private:
  v7test::TempDir dir_;
  int port_ = 0;
  std::unique_ptr<v7test::ServerProcess> server_;
};

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Soap, EveryMethodPostsItsRpcEnvelopeWithItsActionAndPart) {
  SoapService service;
  ASSERT_TRUE(service.running());
  KVTDBXSoapClient client;
  client.SetURL(service.url());
  v7::IKVTDBX& api = client;

  EXPECT_EQ(api.SaveData("<a & b>"), "SaveData:<a & b>");
  EXPECT_EQ(api.LoadData("1"), "LoadData:1");
  EXPECT_EQ(api.DeleteData("2"), "DeleteData:2");
  EXPECT_EQ(api.GetIView("3"), "GetIView:3");
  EXPECT_EQ(api.GetOptions("4"), "GetOptions:4");
  EXPECT_EQ(api.GetChoices("5"), "GetChoices:5");
  EXPECT_EQ(api.GetParams("6"), "GetParams:6");
  EXPECT_EQ(api.GetTStruct("7"), "GetTStruct:7");
  EXPECT_EQ(api.SendMail("8"), "SendMail:8");
  EXPECT_EQ(api.GetFTPProps("0"), "GetFTPProps:0");
  EXPECT_EQ(api.SaveError("caf\xc3\xa9"), "SaveError:caf\xc3\xa9");
  EXPECT_EQ(api.CheckDb(""), "CheckDb:");

  std::string log = service.requests();
  EXPECT_EQ(Count(log, "\"problems\": []"), 12u) << log;
  EXPECT_NE(log.find("\"soapaction\": \"\\\"urn:uIKVTDBX-IKVTDBX#GetFTPProps\\\"\""),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("\"method\": \"SaveData\", \"part\": \"XML\""), std::string::npos);
  EXPECT_NE(log.find("\"method\": \"LoadData\", \"part\": \"S\""), std::string::npos);
  EXPECT_NE(log.find("\"method\": \"CheckDb\", \"part\": \"s\""), std::string::npos);
  EXPECT_NE(log.find("\"path\": \"/soap/IKVTDBX\""), std::string::npos);
}

// The message of the ESoapError that GetFTPProps raises at url ("" when none is raised).
std::string FailureAt(const std::string& url) {
  KVTDBXSoapClient client;
  client.SetURL(url);
  try {
    client.GetFTPProps("0");
  } catch (const ESoapError& e) {
    return e.what();
  }
  return "";
}

TEST(Soap, ReplyIsFollowedToItsValueAndFailuresSayWhatWentWrong) {
  SoapService fault("fault", "Database is down");
  SoapService notXml("notxml");
  SoapService notFound("status");
  SoapService multiref("multiref", "ftp.example,site01,pw");
  ASSERT_TRUE(fault.running() && notXml.running() && notFound.running() && multiref.running());
  // A multi-reference reply is no failure: it is followed to its value.
  KVTDBXSoapClient client;
  client.SetURL(multiref.url());
  EXPECT_EQ(client.GetFTPProps("0"), "ftp.example,site01,pw");
  EXPECT_EQ(FailureAt(fault.url()), "Database is down");
  EXPECT_NE(FailureAt(notXml.url()).find("GetFTPProps is not XML"), std::string::npos);
  EXPECT_NE(FailureAt(notFound.url()).find("HTTP status 404"), std::string::npos);
  SoapService endless("endless");
  ASSERT_TRUE(endless.running());
  EXPECT_EQ(FailureAt(endless.url()), "The service's reply to GetFTPProps from " + endless.url() +
                                          " is larger than 64 MB: refused");
  // Port 1: a free port picked now could be taken by another test's server before the call.
  const std::string closed = "http://127.0.0.1:1/soap";
  EXPECT_EQ(FailureAt(closed).rfind("Call of GetFTPProps at " + closed + " failed: ", 0), 0u);
  EXPECT_NE(FailureAt(""), "");
  EXPECT_NE(FailureAt("file:///etc/passwd"), "");
}

}  // namespace
