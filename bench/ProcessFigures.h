// ProcessFigures: what the benchmarks read about their own process.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/resource.h>

namespace Bench {

// CPU time of every thread of this process so far (user and system), in seconds.
inline double CpuSeconds() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return static_cast<double>(Usage.ru_utime.tv_sec + Usage.ru_stime.tv_sec) +
         static_cast<double>(Usage.ru_utime.tv_usec + Usage.ru_stime.tv_usec) / 1e6;
}

// Context switches (voluntary and not) of every live thread of this process so far: each one
// is a thread that went to sleep and woke again. Threads that have ended are not counted.
inline uint64_t ContextSwitches() {
  uint64_t Total = 0;
  DIR* Tasks = opendir("/proc/self/task");
  if (Tasks == nullptr) {
    return 0;
  }
  while (dirent* Entry = readdir(Tasks)) {
    if (Entry->d_name[0] == '.') {
      continue;
    }
    std::ifstream Status(std::string("/proc/self/task/") + Entry->d_name + "/status");
    std::string Line;
    while (std::getline(Status, Line)) {
      if (Line.find("ctxt_switches:") != std::string::npos) {
        Total += std::strtoull(Line.c_str() + Line.find(':') + 1, nullptr, 10);
      }
    }
  }
  closedir(Tasks);
  return Total;
}

} // namespace Bench
