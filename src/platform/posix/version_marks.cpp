// Marks on verified file versions, as inotify watches: a mark goes stale
// when its file is written or its attributes change, or when its file system
// is unmounted (a crafted image mounted next could take its device number,
// and with it the same inode and times).
#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>
#include <mutex>
#include <string>

#include "platform/system.h"

namespace vorn::os {

namespace {

constexpr std::uint32_t kStaleEvents =
    IN_MODIFY | IN_ATTRIB | IN_DELETE_SELF | IN_UNMOUNT | IN_IGNORED;

struct Marks {
  std::mutex lock;
  int fd = -1;
  // Live watches and how many marks share each (one watch per inode).
  std::map<int, int> live;
};

Marks& marks() {
  static Marks* const instance = new Marks();
  return *instance;
}

// Reads every event waiting; a watch that saw a stale event, or all of them
// when events were lost, is live no more.
void take_events(Marks& state) {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = ::read(state.fd, buffer, sizeof buffer);
    if (length <= 0) return;
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      if ((event->mask & IN_Q_OVERFLOW) != 0) {
        for (const auto& [watch, count] : state.live) {
          ::inotify_rm_watch(state.fd, watch);
        }
        state.live.clear();
      } else if ((event->mask & kStaleEvents) != 0 &&
                 state.live.erase(event->wd) != 0 &&
                 (event->mask & IN_IGNORED) == 0) {
        ::inotify_rm_watch(state.fd, event->wd);
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
}

}  // namespace

std::uint64_t mark_file_version(const PinnedFile& file) {
  if (!file.open()) return 0;
  Marks& state = marks();
  const std::lock_guard<std::mutex> guard(state.lock);
  if (state.fd < 0) state.fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (state.fd < 0) return 0;
  take_events(state);
  // The held descriptor's own inode, whatever name it has now.
  const std::string path = "/proc/self/fd/" + std::to_string(file.raw());
  const int watch =
      ::inotify_add_watch(state.fd, path.c_str(), kStaleEvents & ~IN_IGNORED);
  if (watch < 0) return 0;
  ++state.live[watch];
  return static_cast<std::uint64_t>(watch);
}

bool file_version_mark_intact(std::uint64_t mark) {
  if (mark == 0) return false;
  Marks& state = marks();
  const std::lock_guard<std::mutex> guard(state.lock);
  if (state.fd < 0) return false;
  take_events(state);
  return state.live.count(static_cast<int>(mark)) != 0;
}

void drop_file_version_mark(std::uint64_t mark) {
  if (mark == 0) return;
  Marks& state = marks();
  const std::lock_guard<std::mutex> guard(state.lock);
  const auto found = state.live.find(static_cast<int>(mark));
  if (found == state.live.end() || --found->second > 0) return;
  state.live.erase(found);
  ::inotify_rm_watch(state.fd, static_cast<int>(mark));
}

}  // namespace vorn::os
