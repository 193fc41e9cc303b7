// The folders and file names the transfer steps of the cycle work with, locally and on the
// FTP server. The steps themselves are members of TfmV7Client (uMain.h), in uTransfer.cpp.
#pragma once

#include <string>

namespace v7 {

// Local folders, relative to the working folder.
inline constexpr char kTransitFolder[] = "transit/";
inline constexpr char kReceiveFolder[] = "transit/receive/";
inline constexpr char kFailedFolder[] = "transit/receive/log/";

// Creates "transit/receive/log/" (and so its parents) in the working folder when missing.
// Called at start-up and by every receive step: without these folders a download fails and
// a failed packet could not be kept. Raises std::filesystem::filesystem_error.
void CreateWorkFolders();

// The delete condition of the outgoing packets queued at the date a row shows as text: the
// date goes through the dialect's date template, so that it compares as a date with the
// stored value whatever form the engine stores dates in. A row without a date gives
// "pktdate is null".
std::string PacketDateCondition(const std::string& dateText);

// Copies a failed packet into the log folder: the packet file, its XML file (when there is
// one) and the trace file "trace.txt" of the working folder (when there is one) as
// log/<name>.pkt, .xml and .trc. A copy is made only where no file of that name stands yet;
// a copy that cannot be made is skipped. True when the log folder holds the packet file with
// the same bytes afterwards: only then may the packet leave the server.
bool KeepFailedPacket(const std::string& packetPath, const std::string& xmlPath);

}  // namespace v7
