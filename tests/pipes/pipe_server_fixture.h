#pragma once
// An active pipe server on a name of this test process, with every event recorded.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "names_and_counts.h"
#include "pipes/pipe_server.h"
#include "runtime/synchronize.h"
#include "raw_pipe.h"
#include "test_support.h"

namespace velotarn::test {

// Bytes 0..n-1 of a recognisable pattern that depends on `seed`.
inline std::string Pattern(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
  return s;
}

struct Received {
  HPIPE pipe;
  std::string bytes;
};
struct Sent {
  HPIPE pipe;
  uint32_t size;
  bool operator==(const Sent&) const = default;
};
struct PipeError {
  HPIPE pipe;
  TPipeContext context;
  int32_t code;
};

class PipeServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = UniqueName(L"srv");
    server_ = std::make_unique<TPipeServer>(nullptr);
    server_->SetPipeName(name_);
    server_->SetOnPipeConnect([this](TObject*, HPIPE p) { connects_.push_back(p); });
    server_->SetOnPipeDisconnect([this](TObject*, HPIPE p) { disconnects_.push_back(p); });
    server_->SetOnPipeMessage([this](TObject*, HPIPE p, TMemoryStream* s) {
      std::string bytes(static_cast<size_t>(s->Size()), '\0');
      s->Read(bytes.data(), s->Size());
      messages_.push_back({p, bytes});
    });
    server_->SetOnPipeSent([this](TObject*, HPIPE p, uint32_t n) { sent_.push_back({p, n}); });
    server_->SetOnPipeError([this](TObject*, HPIPE p, TPipeContext c, int32_t code) {
      errors_.push_back({p, c, code});
    });
    server_->SetActive(true);
    ASSERT_TRUE(WaitServed(name_)) << "the server never listened";
  }
  void TearDown() override { server_.reset(); }

  // Opens `client` on the server's pipe and waits until the server has announced it.
  void Connect(RawPipe& client) {
    const size_t before = connects_.size();
    ASSERT_TRUE(client.Open(name_));
    ASSERT_TRUE(PumpUntil([&] { return connects_.size() > before; })) << "no OnPipeConnect";
  }

  std::wstring name_;
  std::unique_ptr<TPipeServer> server_;
  std::vector<HPIPE> connects_;
  std::vector<HPIPE> disconnects_;
  std::vector<Received> messages_;
  std::vector<Sent> sent_;
  std::vector<PipeError> errors_;
};

}  // namespace velotarn::test
