#include "readahead.h"

#include <algorithm>
#include <system_error>
#include <utility>

namespace {

// Two threads keep ahead of the parse of one small object file at a time;
// more only contend with each other in the host's file and memory locks.
constexpr unsigned kMaxThreads = 2;
// A short list is read in less time than a thread takes to start.
constexpr std::size_t kMinFiles = 16;

std::vector<std::string> hostPathsOf(const std::list<std::string>& names) {
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const std::string& name : names) paths.push_back(platform::hostPath(name));
  return paths;
}

}  // namespace

ReadAhead::ReadAhead(std::vector<std::string> hostPaths, std::size_t window)
    : cPaths(std::move(hostPaths)), cWindow(std::max<std::size_t>(window, 1)), cSlots(cPaths.size()) {
  if (cPaths.size() < kMinFiles) return;
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned wanted = cores > 1 ? std::min(kMaxThreads, cores - 1) : 0;
  for (unsigned t = 0; t < wanted; ++t) {
    try {
      cThreads.emplace_back(&ReadAhead::work, this);
    } catch (const std::system_error&) {
      break;  // fewer threads, or none: take() reads what nobody did
    }
  }
}

ReadAhead::ReadAhead(const std::list<std::string>& names, std::size_t window)
    : ReadAhead(hostPathsOf(names), window) {}

ReadAhead::~ReadAhead() {
  {
    std::lock_guard<std::mutex> hold(cLock);
    cStop = true;
  }
  cRoomAhead.notify_all();
  for (std::thread& thread : cThreads) thread.join();
}

void ReadAhead::work() {
  std::unique_lock<std::mutex> hold(cLock);
  for (;;) {
    cRoomAhead.wait(hold, [this] {
      return cStop || cNextClaim >= cPaths.size() || cNextClaim < cTaken + cWindow;
    });
    if (cStop || cNextClaim >= cPaths.size()) return;
    const std::size_t i = cNextClaim++;
    hold.unlock();
    std::vector<unsigned char> bytes;
    platform::ReadResult result = platform::readNoFile;
    bool failed = false;
    try {
      // Anything but a regular file that opens (a missing file, a pipe, a
      // device) is left to the caller, who refuses and reports it in turn;
      // nothing here ever waits on it.
      failed = !platform::readRegularFile(cPaths[i], bytes, result);
    } catch (...) {
      failed = true;  // out of memory: the caller meets it itself
    }
    if (failed) std::vector<unsigned char>().swap(bytes);
    hold.lock();
    Slot& slot = cSlots[i];
    slot.result = result;
    slot.bytes = std::move(bytes);
    slot.failed = failed;
    slot.done = true;
    cSlotDone.notify_one();
  }
}

platform::ReadResult ReadAhead::take(std::size_t i, std::vector<unsigned char>& bytes) {
  bytes.clear();
  if (i >= cPaths.size()) return platform::readNoFile;
  std::unique_lock<std::mutex> hold(cLock);
  cTaken = std::max(cTaken, i + 1);
  cRoomAhead.notify_one();
  if (i >= cNextClaim) {
    // Not started: read here, and let the threads go on past it.
    cNextClaim = i + 1;
    hold.unlock();
    return platform::readWholeFile(cPaths[i], bytes);
  }
  cSlotDone.wait(hold, [this, i] { return cSlots[i].done; });
  Slot& slot = cSlots[i];
  const bool failed = slot.failed;
  const platform::ReadResult result = slot.result;
  bytes.swap(slot.bytes);
  std::vector<unsigned char>().swap(slot.bytes);
  hold.unlock();
  if (failed) return platform::readWholeFile(cPaths[i], bytes);
  return result;
}
