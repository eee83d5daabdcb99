#pragma once
// Reads 1025-byte records from many client pipe ends at once: one overlapped read outstanding
// per client, completions taken from one I/O completion port. Used the same way against our
// pipe server and against the raw baseline, so the client side costs both the same.
//
// Threading: created, used and destroyed on one thread. The client handles must outlive it.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "runtime/handles.h"

namespace velotarn::bench {

class TRecordReader {
 public:
  explicit TRecordReader(const std::vector<unique_handle>& clients);
  // Cancels the reads still outstanding and takes their completions before freeing buffers.
  ~TRecordReader();
  TRecordReader(const TRecordReader&) = delete;
  TRecordReader& operator=(const TRecordReader&) = delete;

  // Looks at one record's text, `client` being the index of the client that received it;
  // raises an Exception for a record that is wrong.
  using TCheck = std::function<void(size_t client, std::string_view text)>;

  // Reads until `expected` records have arrived in all; raises an Exception on a failed read,
  // a message that is not 1025 bytes, a record that `check` refuses, or the time-out.
  void ReadAll(uint64_t expected, DWORD timeout_ms, const TCheck& check);

 private:
  struct TSlot {
    HANDLE Pipe;
    OVERLAPPED Ov{};
    uint8_t Buffer[4096];
    size_t Index = 0;
    bool Pending = false;
  };
  void StartRead(TSlot& slot);

  unique_handle port_;
  std::vector<std::unique_ptr<TSlot>> slots_;
};

}  // namespace velotarn::bench
