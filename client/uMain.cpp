// The site client's start-up, cycle, message pane and project connection.
#include "uMain.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "uDBManager.h"
#include "uDbCall.h"
#include "uDebug.h"
#include "uGeneralFunctions.h"
#include "uSoap.h"
#include "uTransfer.h"
#include "uXDS.h"
#include "uZStream.h"

namespace v7 {

namespace {

const char* const kDefaultXType = "both";
const char* const kDefaultTalkInterval = "300000";
const int kPaneClearAt = 100;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The platform's text-to-integer conversion: an optional sign and decimal digits, nothing
// else, within the range of a 32-bit integer.
int StrToInt(const std::string& text) {
  int value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  if (first != last && *first == '+') ++first;
  auto [end, ec] = std::from_chars(first, last, value);
  if (text.empty() || ec != std::errc() || end != last) {
    throw EConvertError("'" + text + "' is not a valid integer value");
  }
  return value;
}

// Where a setting that the client cannot do without was looked for, for its message.
std::string InSettingsFile() {
  std::error_code ec;
  const std::string file = std::filesystem::absolute("v7rm.ini", ec).string();
  return " in " + file + (std::filesystem::exists(file, ec) ? "" : " (the file does not exist)");
}

}  // namespace

TfmV7Client::TfmV7Client(ClientView& view)
    : view(view), ftp(NewCurlFtpSession()), HTTPRIO(std::make_unique<KVTDBXSoapClient>()) {
  view.OnShow = [this] { FormShow(); };
  view.OnStartClick = [this] { Guarded([this] { btnStartClick(); }); };
  view.OnTimer = [this] { Timer1Timer(); };
  view.OnTestClick = [this] { Button1Click(); };
  view.OnTestDbClick = [this] { btnTestDBClick(); };
}

TfmV7Client::~TfmV7Client() {
  view.OnShow = nullptr;
  view.OnStartClick = nullptr;
  view.OnTimer = nullptr;
  view.OnTestClick = nullptr;
  view.OnTestDbClick = nullptr;
  // The step's connection goes before the trace writer that it traces to.
  project = nullptr;
  dbManager.reset();
}

void TfmV7Client::Guarded(const std::function<void()>& event) {
  try {
    event();
  } catch (const std::exception& e) {
    view.ShowMessage(e.what());
  } catch (...) {
    view.ShowMessage("Unknown error");
  }
}

void TfmV7Client::DoTrace(const std::string& text) {
  if (trace) trace->Write(text);
}

bool TfmV7Client::TracingToFile() const { return trace && trace->Enabled(); }

// ---- Events ----

void TfmV7Client::FormShow() {
  Guarded([this] { InitClient(); });
}

void TfmV7Client::Timer1Timer() {
  Guarded([this] { RunCycle(); });
}

void TfmV7Client::Button1Click() {
  Guarded([this] { TestReplay(); });
}

void TfmV7Client::btnTestDBClick() {
  Guarded([this] {
    HTTPRIO->SetURL(ReadSetting("url"));
    view.ShowMessage(HTTPRIO->CheckDb(view.TestDbText()));
  });
}

// ---- Start-up ----

void TfmV7Client::InitClient() {
  testLogin = ReadSetting("testlogin");
  if (!testLogin.empty()) {
    // Test mode: only the Test button; no trace writer, no FTP account, no timer.
    view.ShowTestButton();
    return;
  }
  clientLogin = ReadSetting("clientlogin");
  busy = false;
  HTTPRIO->SetURL(ReadSetting("url"));
  xType = Lower(ReadSetting("xtype"));
  if (xType.empty()) xType = kDefaultXType;
  trace = std::make_unique<TDoDebug>();
  trace->Memo = &view.Msgs();
  // Made before the service is asked: a failed packet is kept only where its folder exists.
  CreateWorkFolders();
  GetFTPDetails();
  SetTalkInterval();
  btnStartClick();
}

void TfmV7Client::GetFTPDetails() {
  DoTrace("# 1#Getting FTP details");
  ftpProps = ReadSetting("ftp");
  if (ftpProps.empty() && TrimStr(ReadSetting("url")).empty())
    throw std::runtime_error("No FTP account: neither \"ftp\" nor \"url\" is set" +
                             InSettingsFile());
  if (ftpProps.empty()) {
    // At start-up no project is open yet, so the site number asked for is 0.
    ftpProps = HTTPRIO->GetFTPProps(std::to_string(SiteNo));
    if (ftpProps.compare(0, 5, "Error") == 0) throw std::runtime_error(ftpProps);
  }
  if (TrimStr(GetField(ftpProps, 1)).empty())
    throw std::runtime_error(
        "No FTP server: the FTP account (setting \"ftp\" or the service's answer) names no host");
  ftp->Host = GetField(ftpProps, 1);
  ftp->Username = GetField(ftpProps, 2);
  ftp->Password = GetField(ftpProps, 3);
  DoTrace("# 1#FTP at " + GetField(ftpProps, 1));
}

void TfmV7Client::SetTalkInterval() {
  std::string text = ReadSetting("talkinterval");
  if (text.empty()) text = kDefaultTalkInterval;
  int interval = StrToInt(text);
  // A timer of no length never ticks, and a negative one would wrap to weeks: both would
  // leave the site silently unsynchronised.
  if (interval <= 0) throw EConvertError("'" + text + "' is not a valid talkinterval");
  view.SetTimerInterval(interval);
}

// ---- Start, stop and the cycle ----

void TfmV7Client::btnStartClick() {
  if (view.StartCaption() == "Start") {
    view.SetStartCaption("Stop");
    RunCycle();
    // Enabled only now, so the next cycle starts one full interval after this one.
    view.SetTimerEnabled(true);
  } else {
    view.SetStartCaption("Start");
    view.SetTimerEnabled(false);
  }
}

void TfmV7Client::RunCycle() {
  // A tick dispatched while a cycle runs (say, under a message box) must not nest a cycle.
  if (busy) return;
  busy = true;
  try {
    if (xType == "both" || xType == "send") {
      view.SetStatus("Sending...");
      SendPackets();
    }
    if (xType == "both" || xType == "receive") {
      view.SetStatus("Receiving...");
      ReceivePackets();
    }
    ReceivePatches();
    if (ftp->Connected()) ftp->Disconnect();
    view.SetStatus("Idle");
  } catch (...) {
    busy = false;
    if (OnCycleEnd) OnCycleEnd();
    throw;
  }
  busy = false;
  if (OnCycleEnd) OnCycleEnd();
}

void TfmV7Client::ShowMsg(const std::string& text) {
  TMessagePane& pane = view.Msgs();
  // Exactly 100: the trace writer shares the pane and clears it itself above 300 lines, so a
  // pane past 100 lines is left alone here.
  if (pane.LineCount() == kPaneClearAt) pane.Clear();
  pane.AddLine(text);
  pane.Repaint();
}

// ---- The project connection of a step ----

void TfmV7Client::ConnectProject(const std::string& name, std::string& err) {
  err.clear();
  DoTrace("# 1#Connecting to project " + name);
  project = nullptr;
  preparedCalls.clear();
  dbManager = std::make_unique<TDBManager>();
  dbManager->Debug = trace.get();
  dbManager->OnMessageBox = [this](const std::string& text) { view.ShowMessage(text); };
  dbManager->Connect(name);
  // An empty name connects nothing and says nothing: the step must not go on without a
  // project.
  if (TrimStr(name).empty() && dbManager->ErrorText.empty())
    dbManager->ErrorText = "No project to open: \"clientlogin\" is not set" + InSettingsFile();
  if (!dbManager->ErrorText.empty()) {
    // The manager stays: the caller's clean-up closes it.
    err = dbManager->ErrorText;
    DoTrace("# 1#" + err);
    return;
  }
  project = dbManager->Projects->FindProject(name);
  DoTrace("# 1#Connection Successful");
}

void TfmV7Client::CloseConnection() {
  DoTrace("# 1#Closing connection");
  project = nullptr;
  preparedCalls.clear();
  dbManager.reset();
  DoTrace("# 1#Connection closed");
}

// ---- Test mode ----

void TfmV7Client::TestReplay() {
  // A connection left by an earlier replay that failed traces into the old writer while it
  // closes: it goes first.
  project = nullptr;
  dbManager.reset();
  trace = std::make_unique<TDoDebug>();
  trace->Memo = &view.Msgs();
  // Test mode stops start-up before the client project is read; without it here the replay
  // would apply every packet to no project at all.
  if (clientLogin.empty()) clientLogin = ReadSetting("clientlogin");

  std::string err;
  ConnectProject(testLogin, err);
  if (!err.empty()) throw EDatabaseError(err);
  std::vector<std::string> xmlFiles;
  {
    std::unique_ptr<TXDS> query = dbManager->NewQuery();
    query->GetSQL().Add("select * from v7pkt");
    query->Open();
    while (!query->Eof()) {
      std::string pktFile = query->FieldByName("name").Value + ".pkt";
      {
        std::ofstream out(pktFile, std::ios::binary | std::ios::trunc);
        std::string bytes = query->FieldByName("pkt").Value;
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out) throw std::runtime_error("Cannot create file \"" + pktFile + "\"");
      }
      std::string xmlFile = pktFile.substr(0, pktFile.size() - 4) + ".xml";
      TCompress().DecompressFile(pktFile, xmlFile);
      xmlFiles.push_back(xmlFile);
      query->Next();
    }
    query->Close();
  }
  CloseConnection();

  ConnectProject(clientLogin, err);
  if (!err.empty()) throw EDatabaseError(err);
  for (const std::string& xmlFile : xmlFiles) {
    std::string postErr;
    Postdata(xmlFile, postErr);  // a replay applies what it can; errors are in the trace
  }
  CloseConnection();
}

}  // namespace v7
