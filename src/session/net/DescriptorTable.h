#pragma once

namespace session {

// Grows this process's descriptor table now to hold `count` descriptors, or as many as
// its limit allows. The kernel grows the table by doubling it whenever a descriptor
// beyond it is opened, and in a process of several threads each growth waits for an RCU
// grace period: a host admitting hundreds of members stood still for 14 and 23 ms in the
// accept() calls that crossed 256 and 512 descriptors. Called first thing in main(),
// while the process has one thread, it costs nothing, and the table never shrinks.
void reserveDescriptorTable(int count);

// A full room's members (SessionConfig::maxMembers) and the program's own descriptors.
inline constexpr int kRoomDescriptors = 2048;

} // namespace session
