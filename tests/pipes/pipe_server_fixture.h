#pragma once
// An active pipe server on a name of this test process, with every event recorded.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "pipe_test_util.h"
#include "pipes/pipe_server.h"
#include "runtime/synchronize.h"
#include "test_support.h"

namespace velotarn::test {

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
    name_ = UniquePipeName(L"srv");
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

  std::wstring name_;
  std::unique_ptr<TPipeServer> server_;
  std::vector<HPIPE> connects_;
  std::vector<HPIPE> disconnects_;
  std::vector<Received> messages_;
  std::vector<Sent> sent_;
  std::vector<PipeError> errors_;
};

}  // namespace velotarn::test
