// The mail sender against a real SMTP server (aiosmtpd with LOGIN authentication) on loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "TestSupport.h"
#include "uGeneralFunctions.h"
#include "uXSMTP.h"

namespace {

using v7test::ReadFile;

class XSMTP : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = v7test::FreePort();
    inbox_ = dir_.file("inbox");
    server_ = std::make_unique<v7test::ServerProcess>(
        std::vector<std::string>{v7test::SystemPython(), v7test::FixturesDir() + "/smtp_server.py",
                                 std::to_string(port_), inbox_, "mailer", "s3cret"},
        port_);
    ASSERT_TRUE(server_->running());
  }

  std::string Settings(const std::string& password = "s3cret") const {
    return "host=127.0.0.1\nport=" + std::to_string(port_) +
           "\nuserid=mailer\npassword=" + password + "\n";
  }

  // The n-th received message (1-based), waiting briefly for the server to write it.
  std::string Received(int n, std::string* envelope = nullptr) const {
    const std::string base = inbox_ + "/" + std::to_string(n);
    for (int i = 0; i < 100 && !std::filesystem::exists(base + ".env"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (!std::filesystem::exists(base + ".env")) return "";
    if (envelope) *envelope = ReadFile(base + ".env");
    return ReadFile(base + ".eml");
  }

  v7test::TempDir dir_;
  int port_ = 0;
  std::string inbox_;
  std::unique_ptr<v7test::ServerProcess> server_;
};

TEST_F(XSMTP, SendsMessageWithLoginAuthAndAWrongPasswordBecomesTheStatus) {
  v7::TXSMTP smtp;
  std::string status = "unset";
  smtp.SendMail(Settings(),
                "<mail><from>Site 01 <![CDATA[<site01@example.com>]]></from>"
                "<to>a@example.com, b@example.com</to><subject>Day<!-- c --> end</subject>"
                "<body>line one\nline two</body></mail>",
                status);
  EXPECT_EQ(status, "done");
  EXPECT_TRUE(smtp.Msg().Attachments.empty());
  std::string envelope;
  const std::string eml = Received(1, &envelope);
  EXPECT_EQ(envelope, "site01@example.com\na@example.com\nb@example.com\n");
  EXPECT_NE(eml.find("Subject: Day end"), std::string::npos);
  EXPECT_NE(eml.find("line one\r\nline two"), std::string::npos);

  smtp.SendMail(Settings("wrong"), "<m><from>a@x.org</from><to>b@x.org</to></m>", status);
  EXPECT_NE(status.find("Login denied"), std::string::npos) << status;
  EXPECT_FALSE(std::filesystem::exists(inbox_ + "/2.env"));
}

TEST_F(XSMTP, AttachmentsTravelAsFilesAndUnreadableOnesFailTheSend) {
  const std::string a = dir_.file("a.txt"), b = dir_.file("b.csv");
  v7test::WriteFile(a, "alpha attachment");
  v7test::WriteFile(b, "1,2,3");
  auto mail = [](const std::string& att) {
    return "<m><from>a@x.org</from><to>b@x.org</to><subject>s</subject><body>b</body>"
           "<attachment>" +
           att + "</attachment></m>";
  };
  std::string status;
  v7::TXSMTP two;
  two.SendMail(Settings(), mail(a + "," + b), status);
  EXPECT_EQ(status, "done");
  EXPECT_EQ(two.Msg().Attachments, (std::vector<std::string>{a, b}));
  const std::string eml = Received(1);
  EXPECT_NE(eml.find("filename=\"a.txt\""), std::string::npos);
  EXPECT_NE(eml.find("filename=\"b.csv\""), std::string::npos);
  EXPECT_NE(eml.find("YWxwaGEgYXR0YWNobWVudA=="), std::string::npos);  // base64 of a.txt

  v7::TXSMTP trailing;  // "path," is one attachment
  trailing.SendMail(Settings(), mail(a + ","), status);
  EXPECT_EQ(status, "done");
  EXPECT_EQ(trailing.Msg().Attachments.size(), 1u);

  v7::TXSMTP doubled;  // two commas leave an empty path between them, which cannot be read
  doubled.SendMail(Settings(), mail(a + ",," + b), status);
  EXPECT_EQ(doubled.Msg().Attachments, (std::vector<std::string>{a, "", b}));
  EXPECT_EQ(status, "Cannot read attachment file ''");
}

// Fields that would carry words of their own into the envelope or the headers are refused
// before the server hears anything; a name before the address still goes.
TEST_F(XSMTP, AddressesAndAttachmentNamesThatCarryCommandsOrHeadersAreRefused) {
  const std::string odd = dir_.file("a\nX-Injected: yes");
  v7test::WriteFile(odd, "readable");
  const std::pair<std::string, std::string> cases[] = {
      {"<from>a@site.example&gt; SIZE=1 &lt;x</from><to>b@x.org</to>",
       "Mail sender address \"a@site.example> SIZE=1 <x\" is not one address"},
      {"<from>a@x.org</from><to>b@x.org&gt; NOTIFY=NEVER</to>", "Mail recipient address"},
      {"<from>a@x.org</from><to>Bea &lt;b@x.org&gt; &lt;c@x.org&gt;</to>", "Mail recipient"},
      {"<from>a b@x.org</from><to>b@x.org</to>", "Mail sender address \"a b@x.org\""},
      {"<from>&lt;a@x.org</from><to>b@x.org</to>", "Mail sender address \"<a@x.org\""},
      {"<from>a@x.org , SIZE=1</from><to>b@x.org</to>",
       "Mail sender address \"a@x.org , SIZE=1\" is not one address"},
      {"<from>a@x.org</from><to>b@x.org</to><attachment>" + odd + "</attachment>",
       "Mail attachment file name holds a line break or another control character"},
  };
  for (const auto& [fields, refusal] : cases) {
    std::string status = "unset";
    try {
      v7::TXSMTP().SendMail(Settings(), "<m>" + fields + "</m>", status);
      ADD_FAILURE() << fields << " sent: " << status;
    } catch (const std::runtime_error& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with(refusal)) << e.what();
    }
  }
  std::string status, envelope;
  v7::TXSMTP().SendMail(Settings(),
                        "<m><from>S 1 &lt;s@x.org&gt;</from><to>B R &lt;b@x.org&gt;, "
                        "c@x.org</to></m>",
                        status);
  EXPECT_EQ(status, "done");
  Received(1, &envelope);
  EXPECT_EQ(envelope, "s@x.org\nb@x.org\nc@x.org\n");  // the refused ones never arrived
}

TEST(XSMTPOffline, UnreachableHostIsTheStatusBadPortOrMessageRaiseBeforeSending) {
  v7::TXSMTP smtp;
  std::string status;
  smtp.SendMail(
      "host=127.0.0.1\nport=" + std::to_string(v7test::FreePort()) + "\nuserid=u\npassword=p",
      "<m><from>a@x.org</from><to>b@x.org</to></m>", status);
  EXPECT_NE(status.find("Failed to connect"), std::string::npos) << status;
  EXPECT_THROW(smtp.SendMail("host=127.0.0.1\nport=25x", "<m/>", status), v7::EConvertError);
  // Refused before anything is sent: no message, badly formed XML, and addresses that would
  // carry commands of their own into the envelope.
  const char* const kRefused[] = {
      "",
      "<m><to>",
      "just text",
      "<m><to>b@x.org</to></m><m><to>c@x.org</to></m>",
      "<m><to>b@x.org</to></m>trailing text",
      "<m><from>a@x.org</from><to>b@x.org&#13;&#10;RCPT TO:&lt;o@x.org&gt;</to></m>",
      "<m><from>a@x.org&#13;&#10;RCPT TO:&lt;o@x.org&gt;</from><to>b@x.org</to></m>",
      "<m><from>a@x.org</from><to>b@x.org, c@x&#9;.org</to></m>",
  };
  for (const char* mail : kRefused)
    EXPECT_THROW(smtp.SendMail("host=127.0.0.1\nport=25", mail, status), std::runtime_error)
        << mail;
  // A list laid out over several lines is no injection.
  smtp.SendMail("host=127.0.0.1\nport=" + std::to_string(v7test::FreePort()),
                "<m><from> a@x.org\n</from><to>b@x.org,\n  c@x.org\n</to></m>", status);
  EXPECT_NE(status.find("Failed to connect"), std::string::npos) << status;
}

}  // namespace
