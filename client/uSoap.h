// The central service `IKVTDBX` and its SOAP 1.1 client: remote-procedure style, section-5
// encoding, every value a string, posted over HTTP with libcurl and read with pugixml.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

namespace v7 {

// A failed call: transport error, HTTP error, a SOAP fault or a reply that cannot be read.
class ESoapError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The service's interface. Each method takes one text and answers one text; the parameter
// names are the names of the request's parts.
class IKVTDBX {
 public:
  virtual ~IKVTDBX() = default;
  virtual std::string SaveData(const std::string& XML) = 0;
  virtual std::string LoadData(const std::string& S) = 0;
  virtual std::string DeleteData(const std::string& S) = 0;
  virtual std::string GetIView(const std::string& S) = 0;
  virtual std::string GetOptions(const std::string& S) = 0;
  virtual std::string GetChoices(const std::string& S) = 0;
  virtual std::string GetParams(const std::string& S) = 0;
  virtual std::string GetTStruct(const std::string& s) = 0;
  virtual std::string SendMail(const std::string& s) = 0;
  virtual std::string GetFTPProps(const std::string& s) = 0;
  virtual std::string SaveError(const std::string& s) = 0;
  virtual std::string CheckDb(const std::string& s) = 0;
};

class KVTDBXSoapClient : public IKVTDBX {
 public:
  KVTDBXSoapClient() = default;

  // The endpoint (setting `url`).
  void SetURL(const std::string& url) { url_ = url; }
  const std::string& URL() const { return url_; }

  std::string SaveData(const std::string& XML) override;
  std::string LoadData(const std::string& S) override;
  std::string DeleteData(const std::string& S) override;
  std::string GetIView(const std::string& S) override;
  std::string GetOptions(const std::string& S) override;
  std::string GetChoices(const std::string& S) override;
  std::string GetParams(const std::string& S) override;
  std::string GetTStruct(const std::string& s) override;
  std::string SendMail(const std::string& s) override;
  std::string GetFTPProps(const std::string& s) override;
  std::string SaveError(const std::string& s) override;
  std::string CheckDb(const std::string& s) override;

 private:
  // The request envelope of one call, and the return value read from a reply envelope.
  static std::string BuildEnvelope(const std::string& method, const std::string& part,
                                   const std::string& value);
  static std::string ReadReturn(const std::string& method, const std::string& reply);
  std::string Call(const std::string& method, const std::string& part, const std::string& value);

  std::string url_;
};

}  // namespace v7
