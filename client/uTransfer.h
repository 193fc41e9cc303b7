// The folders and file names the transfer steps of the cycle work with, locally and on the
// FTP server. The steps themselves are members of TfmV7Client (uMain.h), in uTransfer.cpp.
#pragma once

#include <string>

namespace v7 {

// Local folders, relative to the working folder.
inline constexpr char kTransitFolder[] = "transit/";
inline constexpr char kReceiveFolder[] = "transit/receive/";
inline constexpr char kFailedFolder[] = "transit/receive/log/";
// The patches that ran to their end and wait to leave the server: "<md5> <name>" lines.
inline constexpr char kRunPatchesFile[] = "transit/patches-run.txt";

// Creates "transit/receive/log/" (and so its parents) in the working folder when missing.
// Called at start-up and by every receive step: without these folders a download fails and
// a failed packet could not be kept. Raises std::filesystem::filesystem_error.
void CreateWorkFolders();

// The end that a packet's name on the FTP server gets when this client claims it
// (".claim-" and 12 hexadecimal digits): the same for every run of the client in one working
// folder on one machine, and different for every other working folder, so that a client
// finds its own unfinished claims again and no other client takes them.
std::string ClaimSuffix();

// The column of the engine's own row handle ("rowid", PostgreSQL's "ctid") by which an
// uploaded row of v7pkt is deleted, and the name under which the send step selects it.
std::string QueuedPacketIdentity();
inline constexpr char kQueuedRowColumn[] = "v7pktrowid";

// Copies a failed packet into the log folder: the packet file as log/<name>.pkt, and beside
// it its XML file (when there is one) and, when withTrace (this run writes the trace file),
// the trace file "trace.txt" of the working folder as .xml and .trc: with tracing off the
// file left by an earlier run tells nothing about this packet. A file that stands there already is
// never overwritten: the same packet failing again keeps its first copies, and a different packet
// of a name already taken goes to the next free log/<name>.<n>.pkt. A copy that cannot be
// made is skipped. True when the log folder holds the packet's bytes afterwards: only then
// may the packet leave the server.
bool KeepFailedPacket(const std::string& packetPath, const std::string& xmlPath, bool withTrace);

}  // namespace v7
