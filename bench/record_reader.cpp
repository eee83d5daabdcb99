#include "record_reader.h"

#include <cstdio>

#include "runtime/exceptions.h"
#include "runtime/text.h"

namespace velotarn::bench {

TRecordReader::TRecordReader(const std::vector<unique_handle>& clients)
    : port_(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1)) {
  if (!port_) RaiseLastOSError();
  for (const unique_handle& client : clients) {
    auto slot = std::make_unique<TSlot>();
    slot->Pipe = client.get();
    slot->Index = slots_.size();
    if (!CreateIoCompletionPort(client.get(), port_.get(),
                                reinterpret_cast<ULONG_PTR>(slot.get()), 0))
      RaiseLastOSError();
    slots_.push_back(std::move(slot));
  }
}

TRecordReader::~TRecordReader() {
  size_t pending = 0;
  for (auto& slot : slots_)
    if (slot->Pending) {
      CancelIoEx(slot->Pipe, &slot->Ov);
      ++pending;
    }
  TDeadline deadline(5000);
  while (pending > 0 && !deadline.Passed()) {
    DWORD n;
    ULONG_PTR key;
    OVERLAPPED* ov = nullptr;
    GetQueuedCompletionStatus(port_.get(), &n, &key, &ov, deadline.Left());
    if (ov == nullptr) continue;
    reinterpret_cast<TSlot*>(key)->Pending = false;
    --pending;
  }
  if (pending > 0) {
    std::printf("warning: %zu client reads did not end; their buffers are kept\n", pending);
    for (auto& slot : slots_)
      if (slot->Pending) (void)slot.release();  // the system may still write into it
  }
}

void TRecordReader::StartRead(TSlot& slot) {
  slot.Pending = true;
  if (!ReadFile(slot.Pipe, slot.Buffer, sizeof slot.Buffer, nullptr, &slot.Ov) &&
      GetLastError() != ERROR_IO_PENDING) {
    slot.Pending = false;  // failed at once: no completion will come
    throw EOSError(GetLastError(), L"\r\nstarting a record read");
  }
}

void TRecordReader::ReadAll(uint64_t expected, DWORD timeout_ms, const TCheck& check) {
  TDeadline deadline(timeout_ms);
  for (auto& slot : slots_)
    if (!slot->Pending) StartRead(*slot);
  uint64_t got = 0;
  while (got < expected) {
    DWORD n = 0;
    ULONG_PTR key = 0;
    OVERLAPPED* ov = nullptr;
    BOOL ok = GetQueuedCompletionStatus(port_.get(), &n, &key, &ov, deadline.Left());
    if (ov == nullptr)
      throw Exception(Format(L"%llu of %llu records arrived within %lu ms",
                             static_cast<unsigned long long>(got),
                             static_cast<unsigned long long>(expected), timeout_ms));
    TSlot& slot = *reinterpret_cast<TSlot*>(key);
    slot.Pending = false;
    if (!ok) throw EOSError(GetLastError(), L"\r\nreading records");
    if (n != kRecordSize) throw Exception(Format(L"a record of %lu bytes arrived", n));
    check(slot.Index, RecordText(slot.Buffer, n));
    ++got;
    StartRead(slot);
  }
}

}  // namespace velotarn::bench
