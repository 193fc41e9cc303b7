// The site client's start-up, cycle, message pane and project connection.
#include "uMain.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <stdexcept>

#include "uAtExit.h"
#include "uCurl.h"
#include "uDBManager.h"
#include "uDbCall.h"
#include "uDebug.h"
#include "uGeneralFunctions.h"
#include "uNumbers.h"
#include "uPacket.h"
#include "uSoap.h"
#include "uTransfer.h"
#include "uXDS.h"
#include "uZStream.h"

namespace v7 {

namespace {

const char* const kDefaultXType = "both";
const int kDefaultTalkInterval = 300000;  // milliseconds
const int kPaneClearAt = 100;

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// The timer interval that the setting `talkinterval` gives, in milliseconds: the number
// without the blanks that editors leave around it; an empty setting gives the default.
// False, with the default, for a text that is no whole number above 0: a timer of no length
// never ticks, and a negative one would wrap to weeks.
bool TalkInterval(const std::string& text, int& interval) {
  interval = kDefaultTalkInterval;
  if (TrimStr(text).empty()) return true;
  int value = 0;
  if (!TryParseInteger(text, value) || value <= 0) return false;
  interval = value;
  return true;
}

// The most bytes of XML text one packet may unpack to that the setting `maxpacketmb` gives,
// in MiB, without the blanks that editors leave around it; an empty setting gives the
// default. False, with the default, for a text that is no whole number above 0.
bool PacketLimit(const std::string& text, uint64_t& bytes) {
  bytes = kDefaultMaxPacketBytes;
  if (TrimStr(text).empty()) return true;
  int mib = 0;
  if (!TryParseInteger(text, mib) || mib <= 0) return false;
  bytes = static_cast<uint64_t>(mib) << 20;
  return true;
}

// Where a setting that the client cannot do without was looked for, for its message.
std::string InSettingsFile() {
  std::error_code ec;
  const std::string file = std::filesystem::absolute("v7rm.ini", ec).string();
  return " in " + file + (std::filesystem::exists(file, ec) ? "" : " (the file does not exist)");
}

// The keys of "v7rm.ini" that the client and its connection manager read.
const char* const kSettingKeys[] = {"testlogin",    "clientlogin",   "url",   "xtype",      "ftp",
                                    "talkinterval", "ORADateString", "trace", "maxpacketmb"};

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
    ++failures;
    view.ShowMessage(e.what());
  } catch (...) {
    ++failures;
    view.ShowMessage("Unknown error");
  }
}

void TfmV7Client::StepFailed(const std::string& text) { StepFailed(text, text); }

void TfmV7Client::StepFailed(const std::string& shown, const std::string& reported) {
  ++failures;
  ShowMsg(shown);
  view.ReportProblem(reported);
}

void TfmV7Client::StepFailed(const std::exception& e) {
  // A transfer cut short by a stop failed for no fault of the site or the server: the step is
  // left for the next run, which is no failure of the cycle.
  if (StopRequested() &&
      (dynamic_cast<const ESoapError*>(&e) ||
       (dynamic_cast<const EFtpError*>(&e) && !static_cast<const EFtpError&>(e).Refused))) {
    ShowMsg(std::string(e.what()));
    return;
  }
  // After a failed start-up every step fails on its FTP connection, and the FTP layer can
  // only say that no host is named: the cause is what ended start-up.
  if (!startupFailure.empty() && dynamic_cast<const EFtpError*>(&e) &&
      TrimStr(ftp->Host).empty()) {
    StepFailed("FTP: no server to connect to: " + startupFailure);
  } else {
    StepFailed(std::string(e.what()));
  }
}

void TfmV7Client::WarnAboutSettings(const std::string& text) {
  std::error_code ec;
  const std::string file = std::filesystem::absolute("v7rm.ini", ec).string();
  auto warn = [this](const std::string& warning) {
    ShowMsg("Warning: " + warning);
    view.ReportProblem("Warning: " + warning);
  };
  for (const std::string& line : SplitTextLines(text)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;  // the settings reader passes such lines by
    const std::string key = line.substr(0, eq);
    if (std::none_of(std::begin(kSettingKeys), std::end(kSettingKeys),
                     [&](const char* known) { return SameStrNoCase(key, known); }))
      warn("unknown setting \"" + key + "\" in " + file + ": the client does not read it");
  }
  // The values as the client takes them: the first line of each key.
  const std::string xtype = ReadSetting("xtype");
  const std::string kind = Lower(xtype);
  // "none" asks for what any other text gives: a cycle of patches only.
  if (!kind.empty() && kind != "both" && kind != "send" && kind != "receive" && kind != "none")
    warn("setting xtype \"" + xtype + "\" in " + file +
         " is not one of both, send, receive, none: the client only receives patches");
  const std::string mode = ReadSetting("trace");
  if (!mode.empty() && mode != "tofile" && mode != "tofile,cumulate")
    warn("setting trace \"" + mode + "\" in " + file +
         " is neither tofile nor tofile,cumulate: no trace is written");
  const std::string talk = ReadSetting("talkinterval");
  int interval = 0;
  if (!TalkInterval(talk, interval))
    warn("setting talkinterval \"" + talk + "\" in " + file +
         " is not a whole number of milliseconds above 0: the client cycles every " +
         std::to_string(interval) + " ms (the default)");
  const std::string limit = ReadSetting("maxpacketmb");
  uint64_t bytes = 0;
  if (!PacketLimit(limit, bytes))
    warn("setting maxpacketmb \"" + limit + "\" in " + file +
         " is not a whole number of MiB above 0: packets may unpack to " +
         std::to_string(bytes >> 20) + " MiB (the default)");
}

uint64_t TfmV7Client::MaxPacketBytes() {
  uint64_t bytes = 0;
  PacketLimit(ReadSetting("maxpacketmb"), bytes);
  return bytes;
}

void TfmV7Client::MakeTraceWriter() {
  trace = std::make_unique<TDoDebug>();
  trace->Memo = &view.Msgs();
  trace->OnTraceOff = [this](const std::string& text) { view.ReportProblem(text); };
}

void TfmV7Client::DoTrace(const std::string& text) {
  if (trace) trace->Write(text);
}

bool TfmV7Client::TracingToFile() const { return trace && trace->Enabled(); }

// ---- Events ----

void TfmV7Client::FormShow() {
  settingsUnreadable = false;
  Guarded([this] { InitClient(); });
  // Every step would run on no project and no account; a window waits for the user.
  if (settingsUnreadable) view.CannotRun();
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
  startupFailure.clear();
  std::string settings;
  try {
    // Without its settings the client has no project and no account, and every cycle would
    // fail, with transit/ made in a folder that is likely the wrong one.
    if (!ReadFileText("v7rm.ini", settings)) {
      std::error_code ec;
      throw EInOutError("No settings file: " + std::filesystem::absolute("v7rm.ini", ec).string() +
                        " does not exist (is " + std::filesystem::current_path(ec).string() +
                        " the working folder?)");
    }
    WarnAboutSettings(settings);
  } catch (const EInOutError&) {
    settingsUnreadable = true;
    throw;
  }
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
  MakeTraceWriter();
  // Before anything that may fail: the cycles that Start runs after a failed start-up keep
  // the configured pace.
  SetTalkInterval();
  try {
    // Made before the service is asked: a failed packet is kept only where its folder exists.
    CreateWorkFolders();
    GetFTPDetails();
  } catch (const std::exception& e) {
    if (startupFailure.empty())
      startupFailure = std::string("start-up failed (") + e.what() +
                       "); restart the client once that is mended";
    throw;
  }
  btnStartClick();
}

void TfmV7Client::GetFTPDetails() {
  DoTrace("# 1#Getting FTP details");
  ftpProps = ReadSetting("ftp");
  if (ftpProps.empty() && TrimStr(ReadSetting("url")).empty())
    throw std::runtime_error("No FTP account: neither \"ftp\" nor \"url\" is set" +
                             InSettingsFile());
  if (ftpProps.empty()) {
    try {
      // At start-up no project is open yet, so the site number asked for is 0.
      ftpProps = HTTPRIO->GetFTPProps(std::to_string(SiteNo));
      if (ftpProps.compare(0, 5, "Error") == 0) throw std::runtime_error(ftpProps);
    } catch (const std::exception& e) {
      if (StopRequested()) throw std::runtime_error(std::string("Start-up stopped: ") + e.what());
      // The account is asked for only here: every later cycle lacks it.
      startupFailure = std::string("the service call at start-up failed (") + e.what() +
                       "); restart the client once the service answers";
      throw std::runtime_error(std::string("The service call GetFTPProps at start-up failed: ") +
                               e.what() +
                               ". The client has no FTP account: restart it once the service "
                               "answers");
    }
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
  // A value that gives no interval was warned about at start-up: the default stands, rather
  // than the timer's own few seconds, which would multiply the FTP traffic.
  int interval = 0;
  TalkInterval(ReadSetting("talkinterval"), interval);
  view.SetTimerInterval(interval);
}

// ---- Start, stop and the cycle ----

void TfmV7Client::btnStartClick() {
  if (view.StartCaption() == "Start") {
    view.SetStartCaption("Stop");
    try {
      RunCycle();
    } catch (...) {
      // A cycle that could not end cleanly must not leave the client stopped.
      view.SetTimerEnabled(true);
      throw;
    }
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
    // After a stop no step begins: each leaves its work as a stop between its acts would.
    // A refused login is said once a cycle: every further try would count against the
    // account on servers that lock it, and nothing else needs the server less.
    ftp->SignInRefusal.clear();
    if ((xType == "both" || xType == "send") && !StopRequested()) {
      view.SetStatus("Sending...");
      SendPackets();
    }
    if ((xType == "both" || xType == "receive") && !StopRequested() &&
        ftp->SignInRefusal.empty()) {
      view.SetStatus("Receiving...");
      ReceivePackets();
    }
    if (!StopRequested() && ftp->SignInRefusal.empty()) ReceivePatches();
    if (!ftp->SignInRefusal.empty())
      DoTrace("# 1#The steps after the refused login wait for the next cycle");
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
  MakeTraceWriter();
  // Test mode stops start-up before the client project is read; without it here the replay
  // would apply every packet to no project at all.
  if (clientLogin.empty()) clientLogin = ReadSetting("clientlogin");

  std::string err;
  ConnectProject(testLogin, err);
  if (!err.empty()) throw EDatabaseError(err);
  std::vector<std::string> xmlFiles;
  // A replay applies what it can, and then says what failed: the trace may be off.
  std::string failed;
  // The packets' files are the replay's working copies: they go however it ends.
  std::vector<std::string> made;
  AtExit removeMade([&made] {
    std::error_code ec;
    for (const std::string& file : made) std::filesystem::remove(file, ec);
  });
  {
    std::unique_ptr<TXDS> query = dbManager->NewQuery();
    query->GetSQL().Add("select * from v7pkt");
    query->Open();
    while (!query->Eof()) {
      // A name is a file of the working folder, never a path out of it.
      const std::string name = query->FieldByName("name").Value;
      std::string fault = NameFault(name);
      if (fault.empty()) fault = FileNameFault(name + ".pkt");  // the row's file here
      if (!fault.empty()) {
        failed += (failed.empty() ? "" : "\n") + std::string("The row \"") +
                  PrintableName(name) + "\" of v7pkt is not replayed: " + fault;
        query->Next();
        continue;
      }
      std::string pktFile = name + ".pkt";
      made.push_back(pktFile);
      std::string xmlFile = pktFile.substr(0, pktFile.size() - 4) + ".xml";
      made.push_back(xmlFile);
      // A row that cannot be unpacked is named, and the rows after it are replayed.
      try {
        WriteBytes(pktFile, query->FieldByName("pkt").Value);
        TCompress(MaxPacketBytes()).DecompressFile(pktFile, xmlFile);
        xmlFiles.push_back(xmlFile);
      } catch (const std::exception& e) {
        failed += (failed.empty() ? "" : "\n") + std::string("Replay of ") + pktFile +
                  " failed: " + e.what();
      }
      query->Next();
    }
    query->Close();
  }
  CloseConnection();

  ConnectProject(clientLogin, err);
  if (!err.empty()) throw EDatabaseError(err);
  for (const std::string& xmlFile : xmlFiles) {
    if (StopRequested()) break;
    std::string postErr;
    // The site failing under one packet (a lock held, a timeout) is named with that packet
    // too, and the packets after it are tried all the same.
    try {
      Postdata(xmlFile, postErr);
    } catch (const ESiteFailure& e) {
      postErr = dbManager ? dbManager->WithDatabase(e.what()) : e.what();
    }
    if (!postErr.empty())
      failed += (failed.empty() ? "" : "\n") + std::string("Replay of ") + xmlFile +
                " failed: " + postErr;
  }
  CloseConnection();
  if (!failed.empty()) throw std::runtime_error(failed);
}

}  // namespace v7
