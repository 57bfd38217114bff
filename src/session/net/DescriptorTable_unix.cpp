#include "session/net/DescriptorTable.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace session {

void reserveDescriptorTable(int count) {
    rlimit limit{};
    if (count <= 0 || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    const rlim_t wanted = std::min<rlim_t>(static_cast<rlim_t>(count), limit.rlim_cur);
    if (wanted < 2) {
        return;
    }
    // A descriptor at the highest number wanted makes the table that big; closing it
    // leaves the table as it is.
    const int any = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (any < 0) {
        return;
    }
    const int highest = ::fcntl(any, F_DUPFD_CLOEXEC, static_cast<int>(wanted - 1));
    if (highest >= 0) {
        ::close(highest);
    }
    ::close(any);
}

} // namespace session
