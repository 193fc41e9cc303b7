// The part of the trace file that one packet's run wrote, kept beside the packet when it
// fails: the whole file would hold every run since start-up (hundreds of kilobytes for a
// packet of a few bytes), and would bury the lines that tell why this one failed.
#pragma once

#include <string>

namespace v7 {

// Notes where the trace file ends now, as the run of the packet unpacked to xmlFile begins.
void NotePacketRunStart(const std::string& traceFile, const std::string& xmlFile);

// Copies what the trace file gained since the note of xmlFile's run into target, a new file
// (one that exists is left alone). False when no run of xmlFile was noted last, or when the
// copy could not be written whole (then no target is left).
bool CopyPacketRunTrace(const std::string& xmlFile, const std::string& target);

}  // namespace v7
