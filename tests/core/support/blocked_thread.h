// Waiting until another thread of this process sleeps in the kernel, so that a test can act on a
// blocked call (a poll waiting on its notifier) rather than on one that is about to block.
#pragma once

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace quelvane::testing {

// The calling thread's id, to hand to await_sleeping from another thread.
inline pid_t this_thread_tid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// True once thread `tid` sleeps (state S in /proc), false when it has not within the limit.
inline bool await_sleeping(pid_t tid, std::chrono::seconds limit = std::chrono::seconds(60)) {
  const std::string stat = "/proc/self/task/" + std::to_string(tid) + "/stat";
  const auto until = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < until) {
    std::ifstream in(stat);
    std::string line;
    std::getline(in, line);
    // The state follows the command name, which is in parentheses and may hold spaces.
    const auto close = line.rfind(") ");
    if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S') return true;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return false;
}

}  // namespace quelvane::testing
