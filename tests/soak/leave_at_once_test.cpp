// Clients that write one request and leave at once, many at the same time: every request they
// wrote must be served, however early the client left. A client can connect, write and close
// before the service's listener has even begun to wait on that pipe instance; its request is
// still in the instance and must not be thrown away with it.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <thread>
#include <vector>

#include "process_probe.h"
#include "service_test_support.h"
#include "soak_client.h"
#include "soak_requests.h"
#include "soak_run.h"
#include "soak_support.h"
#include "test_support.h"

using namespace velotarn;
using namespace velotarn::test;

TEST(LeaveAtOnce, EveryRequestOfAClientThatLeftAtOnceIsServed) {
  if (ServicePath().empty()) GTEST_SKIP() << "velotarnsvc.exe is not built";
  constexpr int kThreads = 10;
  constexpr int kSessions = 40;
  CleanServiceSlot slot;
  EventLogWatch log;
  TRunningService svc;
  ASSERT_NO_FATAL_FAILURE(StartVelotarnService(&svc));
  const std::set<DWORD> threads_at_start = ThreadIds(svc.pid);

  // A child that writes lines without end: every client that connects becomes the receiver of
  // its records, so the service is writing to each client when it leaves.
  {
    TSoakClient streamer;
    ASSERT_TRUE(streamer.Connect());
    ASSERT_TRUE(streamer.Send(ConnectRequest(L"\"" + SoakOpenvpnPath() + L"\" stream:1",
                                             SelfDir(), TRequestForm::kAnsiCrLf)));
    ASSERT_GE(streamer.Receive(10, 30000), 10u) << "the streaming child's lines did not come";
  }

  // Each request is a "connect" without its command line: the service logs one error for it,
  // so the log counts the requests served.
  std::vector<int> written(kThreads, 0);
  {
    std::vector<std::jthread> clients;
    for (int t = 0; t < kThreads; ++t) {
      clients.emplace_back([t, &written] {
        for (int i = 0; i < kSessions; ++i) {
          TSoakClient client;
          if (client.Connect() && client.Send("connect")) ++written[t];
        }  // each client leaves as soon as its write has completed
      });
    }
  }
  int requests = 0;
  for (int n : written) requests += n;
  EXPECT_EQ(requests, kThreads * kSessions) << "some requests could not be written";

  {
    TSoakClient ender;
    ASSERT_TRUE(ender.Connect());
    ASSERT_TRUE(ender.Send("disconnect"));  // ends the streaming child and so its run
  }

  // Once the connections' threads have ended, their messages have been posted; a whole run on
  // a connection of its own is served after all of them.
  EXPECT_TRUE(WaitForThreadsToEnd(svc.pid, threads_at_start, 60000).empty());
  TRunStarts starts;
  TSoakClient last;
  ASSERT_TRUE(last.Connect());
  ASSERT_TRUE(last.Send(ConnectRequest(ChildRunCommand(SoakChildPath(), starts.Name(), 1, 1),
                                       SelfDir(), TRequestForm::kAnsiCrLf)));
  ASSERT_TRUE(last.ReceiveUntil("#END#", 2, 30000));

  int served = 0;
  for (const std::wstring& entry : log.Entries()) {
    if (entry == L"List index out of bounds (1)") ++served;
    else ADD_FAILURE() << "unexpected event log entry: " << entry.size() << " characters";
  }
  std::printf("%d requests written, %d served\n", requests, served);
  EXPECT_EQ(served, requests);
}
