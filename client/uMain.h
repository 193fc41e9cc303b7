// The site client: start-up from the settings, the timer-driven cycle (send, receive, patches)
// under the busy flag, the message pane, and the project connection that each step of the
// cycle opens and closes. Written once against ClientView; runs on the view's one thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "uConnect.h"
#include "uFtp.h"
#include "uView.h"

namespace v7 {

class TDoDebug;
class TDBManager;
class TDbCall;
class KVTDBXSoapClient;
class TLineRecord;
class TXDS;
struct TReceiveStep;
struct TSendStep;
struct TPatchStep;
// What became of a patch that ran, when the client came to remove it from the server: gone,
// replaced by other bytes meanwhile (which stay), or still there as it ran.
enum class TPatchRemoval { Gone, Replaced, Stays };
// Whether the FTP account may rename in a folder, as a receive step learns it from the renames
// of its claims: not known, granted, lacking.
enum class TRenameRight { Unknown, Granted, Lacking };

class TfmV7Client {
 public:
  // The view must outlive the client. The client sets the view's events.
  explicit TfmV7Client(ClientView& view);
  ~TfmV7Client();
  TfmV7Client(const TfmV7Client&) = delete;
  TfmV7Client& operator=(const TfmV7Client&) = delete;

  // ---- Events of the window. Each runs under the application's handler: an exception ends
  // the event and its message goes to the view's message box.
  void FormShow();
  void btnStartClick();
  void Timer1Timer();
  void Button1Click();
  void btnTestDBClick();

  // ---- Start-up and the cycle (uMain.cpp). These raise; the events above catch.
  void InitClient();
  void GetFTPDetails();
  void SetTalkInterval();
  void RunCycle();
  void ShowMsg(const std::string& text);
  void ConnectProject(const std::string& name, std::string& err);
  void CloseConnection();
  void TestReplay();

  // ---- Steps of the cycle (uTransfer.cpp). Each catches its own failures.
  void SendPackets();
  void SendPing();
  void ReceivePackets();
  void ReceivePatches();

  // Applies one unpacked packet file to the open project (uPostdata.cpp); `err` empty means
  // applied. packetKey: the packet's "<md5> <name>" when it comes from the server; a new
  // document it saves is then recorded under it (TDocumentPacketTarget::packetKey), and the
  // answer is true when such a record stands, to be forgotten once the packet is recorded
  // as handled. Raises ESiteFailure when the site failed (uPacket.h).
  bool Postdata(const std::string& fileName, std::string& err, const std::string& packetKey = "");

  // A step's failure: its message in the pane and where the view reports problems, counted
  // in Failures. The exception form names a missing FTP account by its cause.
  void StepFailed(const std::string& text);
  void StepFailed(const std::exception& e);
  // The same with a report of its own: standard error is often read alone (cron mails it),
  // so its line must name what failed where the pane's lines before it do.
  void StepFailed(const std::string& shown, const std::string& reported);

  // Called after each cycle that ran (not after a tick skipped while busy).
  std::function<void()> OnCycleEnd;

  // ---- Read-only state, for the program and its tests.
  bool Busy() const { return busy; }
  // Failed steps and events (start-up included) since the client was made.
  int Failures() const { return failures; }
  TDoDebug* Trace() const { return trace.get(); }
  FtpSession& Ftp() { return *ftp; }
  // The most bytes of XML text one packet may unpack to (setting `maxpacketmb`).
  static uint64_t MaxPacketBytes();

 private:
  // Writes one trace text when the trace writer exists (in test mode it is made late).
  void DoTrace(const std::string& text);
  // True when this run writes "trace.txt" (setting `trace`).
  bool TracingToFile() const;

  // ---- One packet's way in a step (uSendStep.cpp, uReceiveStep.cpp).
  void PublishPacket(const std::string& file, const std::string& remote, const std::string& name,
                     const std::string& siteNo, TSendStep& step);
  int Dequeue(const std::string& name, const std::string& siteNo, const std::string& digest,
              const std::string& upload);
  bool Recorded(const std::string& upload);
  void Published(const std::string& line, TSendStep& step);
  void FinishPublication(const std::string& line, TSendStep& step);
  void FinishPublications(TSendStep& step, TXDS& queue, bool recordsNew);
  void StoreUnderOwnName(const std::string& file, const std::string& remote);
  void RemoveUpload(const std::string& upload, TSendStep& step);
  void WarnUnrenamed(const std::string& refusal, const std::string& folder, TSendStep& step);
  void ReceiveOne(const std::string& listed, bool ownClaim, TReceiveStep& step);
  bool ClaimPacket(const std::string& listed, const std::string& packet, TReceiveStep& step,
                   std::string& entry);
  TRenameRight AccountCanRename(const std::string& refusal, TReceiveStep& step);
  bool StillArriving(const std::string& entry, const std::string& localFile,
                     const std::string& handledLine, TReceiveStep& step);
  void NameAbandonedClaims(const std::vector<std::string>& claimed, const std::string& unrecorded,
                           TReceiveStep& step);
  void RecordAndRemoveHandled(const std::string& entry, const std::string& packet,
                              const std::string& handledLine, TReceiveStep& step,
                              bool savedDocument);
  bool RemoveHandledPacket(const std::string& entry, const std::string& packet,
                           const std::string& handledLine, TReceiveStep& step);
  void ReceivePatch(const std::string& entry, TPatchStep& step);
  TPatchRemoval RemoveRanPatch(const std::string& entry, const std::string& key, TPatchStep& step,
                               bool checkBytes);
  void SiteFailedUnder(const std::string& packet, const std::string& handledLine,
                       const std::string& cause, TReceiveStep& step);
  bool ForgetSavedRow(const std::string& packet, const std::string& handledLine);
  bool GoneFromServer(const std::string& entry);
  void RemoveFromServer(const std::string& entry);
  // The application's handler around an event.
  void Guarded(const std::function<void()>& event);
  // One warning line for each key of "v7rm.ini" (its text given) the client does not read and
  // each value it does not know, saying what the client does instead.
  void WarnAboutSettings(const std::string& text);
  // A new trace writer on the message pane; it reports a trace file it cannot write.
  void MakeTraceWriter();

  ClientView& view;

  std::unique_ptr<TDoDebug> trace;
  std::string testLogin;    // setting `testlogin`: test mode, and the source of TestReplay
  std::string clientLogin;  // setting `clientlogin`: the project every step opens
  std::string ftpProps;     // host, user name, password as three comma fields
  std::string siteText;     // this site's number as two digits, set by the receiving steps
  std::string xType;        // "both", "send" or "receive" (any other text: patches only)
  bool busy = false;
  int failures = 0;
  // Why start-up ended before the FTP account was had, as the steps' FTP failures name it;
  // empty after a start-up that got that far.
  std::string startupFailure;
  // Start-up could not read "v7rm.ini": the client has nothing to run.
  bool settingsUnreadable = false;

  // The project connection of the running step: from ConnectProject to CloseConnection.
  std::unique_ptr<TDBManager> dbManager;
  // The registry record of the opened project; owned by dbManager.
  TProjectRecord* project = nullptr;

  std::unique_ptr<FtpSession> ftp;
  // Packets handled (applied, or kept in the log folder) whose record line could not be
  // written, while they may still stand on the server: "<md5> <name>" lines.
  std::set<std::string> handledUnsaved;
  // Patches that ran to their end whose record line could not be written, while they may
  // still stand on the server: "<md5> <name>" lines.
  std::set<std::string> patchesRanUnsaved;
  std::unique_ptr<KVTDBXSoapClient> HTTPRIO;

  // Working state of applying one document packet.
  std::vector<std::string> fieldNames;
  // Document facades prepared by earlier packets on dbManager's connection: dropped with the
  // connection, and after any packet that is not a document (a table packet may change the
  // definitions they hold).
  std::map<std::string, std::unique_ptr<TDbCall>> preparedCalls;
};

}  // namespace v7
