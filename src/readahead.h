// Reading a list of input files ahead of their use. A link or a new library
// opens and reads thousands of small files, one after another; here a few
// threads of its own read the next files while the caller works on the
// current one. Only bytes are read ahead: what a file holds, and every
// message about it, stays with the caller, in the caller's order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

class ReadAhead {
 public:
  // Files are taken in the order of hostPaths; at most window of them are
  // held read and not yet taken, which bounds the memory spent ahead.
  explicit ReadAhead(std::vector<std::string> hostPaths, std::size_t window = 256);
  // The same for files as a command line or command file names them.
  explicit ReadAhead(const std::list<std::string>& names, std::size_t window = 256);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // File i as platform::readWholeFile reads it. Files are taken once each,
  // in ascending order; one that no thread has started on yet is read here.
  platform::ReadResult take(std::size_t i, std::vector<unsigned char>& bytes);

  // How many threads read ahead (none for a few files or a single core).
  std::size_t threads() const { return cThreads.size(); }

 private:
  struct Slot {
    bool done = false;
    bool failed = false;  // left to the caller
    platform::ReadResult result = platform::readNoFile;
    std::vector<unsigned char> bytes;
  };
  void work();

  const std::vector<std::string> cPaths;
  const std::size_t cWindow;
  std::vector<Slot> cSlots;
  std::mutex cLock;
  std::condition_variable cRoomAhead;  // a file may be started
  std::condition_variable cSlotDone;   // a file was read
  std::size_t cNextClaim = 0;          // the first file nobody has started on
  std::size_t cTaken = 0;              // files taken so far
  bool cStop = false;
  std::vector<std::thread> cThreads;
};
