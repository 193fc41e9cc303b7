// The folders and file names the transfer steps of the cycle work with, locally and on the
// FTP server. The steps themselves are members of TfmV7Client (uMain.h): sending in
// uSendStep.cpp, receiving packets in uReceiveStep.cpp, patches in uPatchStep.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "uLineRecord.h"

namespace v7 {

// Local folders, relative to the working folder.
inline constexpr char kTransitFolder[] = "transit/";
inline constexpr char kReceiveFolder[] = "transit/receive/";
inline constexpr char kFailedFolder[] = "transit/receive/log/";
// The records below hold a line only while its file may still stand on the server: a line
// whose file the server says it no longer has, asked at the start of a step of that name
// (under its own name and as this client's claim), leaves its record, so that a file of that
// name that comes later is new.
//
// The patches that ran to their end and wait to leave the server: "<md5> <name>" lines; and
// the patches whose run began and was not seen to end: kPatchRunningMark + "<md5> <name>",
// written before the first block.
inline constexpr char kRunPatchesFile[] = "transit/patches-run.txt";
inline constexpr char kPatchRunningMark[] = "running ";
// The bytes that each of this site's patches had when a step last found it, and that it must
// still have at the next step to run: "<md5> <name>" lines.
inline constexpr char kSeenPatchesFile[] = "transit/patches-seen.txt";
// The packets that were applied, or kept in the log folder, and wait to leave the server:
// "<md5> <name>" lines, as for patches.
inline constexpr char kHandledPacketsFile[] = "transit/packets-handled.txt";
// Queued packets uploaded under an upload name whose rows are being deleted: "<md5> <upload
// mark> <remote name>" lines (a client before upload names of its own wrote "<md5> <remote
// name>", its upload being <remote name>.part; a packet stored under its own name, in a folder
// without the rename right, has ".own-" and 12 hexadecimal digits for its mark). A line stays
// until the server shows the packet under its own name, or is dropped at the start of a send
// step when kSentTable holds no record of its upload (this client did not remove its row).
// The packet's bytes stay beside it, as kPublishingCopy<md5>.pkt, until then: the server may
// not let the account read its upload.
inline constexpr char kPublishingFile[] = "transit/packets-publishing.txt";
inline constexpr char kPublishingCopy[] = "transit/publishing-";
// The folders of the server where the account may not rename an upload (or not store one
// under an upload name), and packets go under their own names: "<time> <folder>" lines, the
// time (UTC) when it was found. A line stays a day; then an upload name is tried again.
inline constexpr char kUnrenamedFoldersFile[] = "transit/folders-unrenamed.txt";
// The names on the server of the packets this client claimed and has not finished with.
inline constexpr char kClaimsFile[] = "transit/claims.txt";
// The packets that failed to unpack and may still be arriving: "<time> <md5> <name>" lines,
// the time (UTC, "2026-06-20T10:00:00Z") by this site's clock when they first failed so.
inline constexpr char kUnpackFailuresFile[] = "transit/unpack-failures.txt";
// The claims of other clients seen on the server: "<time> <claim>" lines, the time as above
// when each was first seen.
inline constexpr char kClaimsSeenFile[] = "transit/claims-seen.txt";

// The server's refusal of a claim, while every claim that the last receive step to try one
// tried was refused lastingly (a 5xx reply) for a packet the server has: one line, gone once
// a claim succeeds. When the next step meets the same, the account is taken to lack the
// rename right there.
inline constexpr char kClaimRefusalsFile[] = "transit/claims-refused.txt";

// A packet claimed by a client is renamed to <name>.pkt + kClaimMark + 12 hexadecimal
// digits; receivers list "*.pkt" and so pass claimed packets by.
inline constexpr char kClaimMark[] = ".claim-";
// A packet is uploaded under <name>.pkt + kUploadMark + 12 random hexadecimal digits, a name
// of that upload's own (two senders of one site never write into one file), and renamed to
// <name>.pkt once whole. Receivers list "*.pkt" and so never take an upload.
inline constexpr char kUploadMark[] = ".part-";

// Creates "transit/receive/log/" (and so its parents) in the working folder when missing, and
// removes the unfinished downloads a stop left there.
// Called at start-up and by every receive step: without these folders a download fails and
// a failed packet could not be kept. Raises std::filesystem::filesystem_error.
void CreateWorkFolders();

// The end that a packet's name on the FTP server gets when this client claims it:
// kClaimMark and 12 random hexadecimal digits, new for every claim. A client knows its own
// claims by the record it keeps of them (kClaimsFile), not by anything of its machine or
// folder: clients on machines cloned from one image share those.
std::string NewClaimSuffix();
// 12 random hexadecimal digits, new at every call: the end of a name that is one client's own.
std::string RandomDigits();

// The column of the engine's own row handle ("rowid", PostgreSQL's "ctid") by which an
// uploaded row of v7pkt is deleted, read in the delete's own transaction (a handle read
// earlier may name another row by then), and the name under which it is selected.
std::string QueuedPacketIdentity();
inline constexpr char kQueuedRowColumn[] = "v7pktrowid";
// The table of the site database in which a sender records, in the transaction that deletes a
// queued row, the upload that it publishes for that row (its name on the server, upload mark
// and all): "the row is gone" says nothing of who removed it; this row says it was this
// client. It lives until the packet is published.
inline constexpr char kSentTable[] = "v7sent";
inline constexpr char kSentTableColumns[] = "upload varchar(600) not null primary key";
// The uploads of this client that the server would not let it remove (no delete right):
// their names on the server, tried again at every send step.
inline constexpr char kUploadsLeftFile[] = "transit/uploads-left.txt";

// Copies a failed packet into the log folder: the packet file as log/<name>.pkt, and beside
// it its XML file (when there is one) and, when withTrace (this run writes the trace file),
// the trace file "trace.txt" of the working folder as .xml and .trc: with tracing off the
// file left by an earlier run tells nothing about this packet. A file that stands there already is
// never overwritten: the same packet failing again keeps its first copies, and a different packet
// of a name already taken goes to the next free log/<name>.<n>.pkt. A copy that cannot be
// made (a full disk) leaves nothing behind and is skipped. True when the log folder holds the
// packet's bytes afterwards: only then may the packet leave the server.
bool KeepFailedPacket(const std::string& packetPath, const std::string& xmlPath, bool withTrace);

// Why a file name that came from outside (a server's listing, a queued row of the site) may not
// be used as the name of a file in one folder, here or on the server; empty when it may. A name
// that is empty, "." or "..", or that holds "/", "\\", NUL or another control character could
// reach a file outside that folder, or be cut or refused by the layers below: it is refused by
// name and passed over, and nothing else stops for it.
std::string NameFault(const std::string& name);
// The same for a name that this client makes a file of here, which also may be no longer than
// a file name here may be (NAME_MAX bytes): a server on another system may hold such a name,
// and a file that cannot be created would end the step for every file after it.
std::string FileNameFault(const std::string& name);
// A name from outside as a message shows it: each control character written as an escape
// ("\t", "\x01", "\x00"), so that a name that NameFault refuses can be read and is not cut.
std::string PrintableName(const std::string& name);

// A site number as the server's folders and file names write it: two digits.
std::string TwoDigits(const std::string& number);
// A text as an SQL literal's body: each quote doubled.
std::string Doubled(const std::string& text);
// Raises EDatabaseError with err when it is not empty.
void RaiseOnError(const std::string& err);

}  // namespace v7
