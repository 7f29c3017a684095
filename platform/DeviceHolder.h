// DeviceHolder: who keeps a device open, in words a message can carry - the processes that
// have a descriptor of it (from /proc), the owner its UUCP lock file names, and for this
// process what each of its own descriptors is for.
//
// Contract:
// - NoteDescriptorPurpose records what a descriptor of this process is for ("the telephony
//   line \"Kitchen\"", "the serial port of an answered call"); ForgetDescriptorPurpose takes
//   the note back. A note keeps the identity of the file the descriptor showed then, so a
//   number closed without ForgetDescriptorPurpose and reused for another file never inherits
//   it. Any thread may call them.
// - DescribeDeviceHolders says who holds the device at a path: "" when nobody is seen;
//   otherwise "held by " and the holders: "held by process 1234 (minicom)", "held by this
//   process (the serial port of an answered call, descriptor 9) and process 1234 (cu)". A live
//   process that only the lock file names (its descriptors are not ours to read) adds "locked
//   by process 1234 (minicom)". It reads /proc and the lock file and opens nothing, so a modem
//   is never disturbed by the question. Any thread may call it.
#pragma once

#include <string>

namespace Platform {

void NoteDescriptorPurpose(int Fd, const std::string& Purpose);
void ForgetDescriptorPurpose(int Fd);
std::string DescribeDeviceHolders(const std::string& Path);

} // namespace Platform
