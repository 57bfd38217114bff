#pragma once

#include "session/SessionTypes.h"

namespace session {

// Failure codes of the network session service beyond the two that callers test by
// value (SessionTypes.h). Each failure also carries a readable description.
inline constexpr quint32 kErrorNotInitialized = 0x88770201u;
inline constexpr quint32 kErrorBusy = 0x88770202u;
inline constexpr quint32 kErrorNoRoom = 0x88770203u;
inline constexpr quint32 kErrorAlreadyInRoom = 0x88770204u;
inline constexpr quint32 kErrorConnectFailed = 0x88770205u;
inline constexpr quint32 kErrorAccessDenied = 0x88770206u;
inline constexpr quint32 kErrorRoomFull = 0x88770207u;
inline constexpr quint32 kErrorProtocol = 0x88770208u;
inline constexpr quint32 kErrorTimedOut = 0x88770209u;
inline constexpr quint32 kErrorInvalidName = 0x8877020Au;
inline constexpr quint32 kErrorConnectionLost = 0x8877020Bu;
inline constexpr quint32 kErrorNoMessage = 0x8877020Cu;
inline constexpr quint32 kErrorCancelled = 0x8877020Du;
inline constexpr quint32 kErrorCannotHost = 0x8877020Eu;
inline constexpr quint32 kErrorInvalidParameter = 0x8877020Fu;
inline constexpr quint32 kErrorPlayerExists = 0x88770210u;

} // namespace session
