// Device-map entries lent to a helper for a while (the capture tap, the replay): the
// helper points the entry at its own pseudo-terminal and keeps what the entry was in
// a note beside it ("<entry>.taken"), so that the entry is put back even when the
// helper is killed: the next start of any of our programs that uses the entry finds
// the note of a helper that is gone and puts the entry back.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The note's name for an entry.
std::string MapEntryNotePath(const std::string& entry);

// Points entry at target (atomically: the entry is never missing), after writing the
// note: this process, who ("velt-capture"), target and what the entry was (nothing,
// or its link text). An abandoned note of an earlier helper is put right first. False
// with *error set: the entry is left as it was.
bool TakeMapEntry(const std::string& entry, const std::string& target, const std::string& who,
                  std::string* error);

// Puts the entry back as the note says, when it still points at the note's target
// (somebody else's later change is kept), and removes the note. *message says what
// was done ("" when nothing needed saying). False when the entry could not be put
// back.
bool GiveBackMapEntry(const std::string& entry, std::string* message);

// When a note beside entry belongs to a helper that is no longer running: puts the
// entry back and removes the note. The message to show ("" when there was nothing
// to do).
std::string RestoreAbandonedMapEntry(const std::string& entry);

// The same for the device-map entry of a port name ("COM1"), as a port is opened;
// the message goes to the debug output.
void RestoreAbandonedDosDevice(const std::string& name);

// The same for every entry of a map directory; one message per entry put back.
std::vector<std::string> RestoreAbandonedMapEntries(const std::string& map_dir);

}  // namespace platform
