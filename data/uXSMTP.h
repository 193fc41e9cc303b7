// Mail sender: sends one e-mail through an SMTP server with LOGIN authentication and file
// attachments. The server settings arrive as name=value lines, the message as a small XML
// text; the outcome is a status text, "done" or the message of the error that stopped it.
#pragma once

#include <pugixml.hpp>
#include <string>
#include <vector>

namespace v7 {

// One message as the sender builds it from the XML text.
struct TMailMessage {
  std::string From;
  std::string To;  // address list separated by ","
  std::string Subject;
  std::string Body;
  std::vector<std::string> Attachments;  // file paths, as written (not trimmed)
};

// Where and as whom to send.
struct TSmtpSettings {
  std::string Host;
  int Port = 0;
  std::string UserId;
  std::string Password;
};

class TXSMTP {
 public:
  TXSMTP();

  // Settings: "host", "port", "userid", "password" lines (other lines ignored). MailXml: a
  // root element of any name with children from, to, subject, body, attachment.
  // Errors of connecting, authenticating or sending become the status; a port that is not an
  // integer (EConvertError) or a message that is not XML with a root (std::runtime_error)
  // raise before anything is sent.
  void SendMail(const std::string& settings, const std::string& mailXml, std::string& status);

  const std::string& Status() const { return Status_; }
  const TMailMessage& Msg() const { return Msg_; }
  const TSmtpSettings& SMTP() const { return SMTP_; }

  // Reads the name=value lines into SMTP settings.
  static TSmtpSettings ReadSettings(const std::string& settings);

 private:
  void BuildMessage(const std::string& mailXml);
  std::string GetNodeText(const std::string& name);
  void AddAttachments();
  void Send();

  TSmtpSettings SMTP_;
  TMailMessage Msg_;
  pugi::xml_document Doc_;
  pugi::xml_node Node_;
  std::string Status_;
};

}  // namespace v7
