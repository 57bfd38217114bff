#pragma once

#include <cstdlib>
#include <fstream>
#include <string>

namespace bench {

// A field of another process's /proc status in kB ("VmHWM:" its peak resident
// memory, "VmRSS:" its resident memory now), or -1.
inline long statusKbOf(long long pid, const std::string& field) {
    if (pid <= 0) {
        return -1;
    }
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(field, 0) == 0) {
            return std::strtol(line.c_str() + field.size(), nullptr, 10);
        }
    }
    return -1;
}

} // namespace bench
