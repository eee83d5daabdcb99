// The OpenVPN runner against real children: our own byte-exact child program, and Wine's own
// cmd.exe. Every run is awaited through the main loop with a bound.
#include <gtest/gtest.h>

#include <thread>

#include "control/ovpn_thread.h"
#include "control_test_support.h"
#include "runtime/exceptions.h"
#include "runtime/exit_code.h"
#include "runtime/text.h"
#include "test_support.h"

namespace velotarn::test {
namespace {

using Lines = std::vector<std::wstring>;

// Runs the child with `steps` to its end and returns every text OnLine received.
Lines RunChild(std::initializer_list<std::wstring> steps, TRunRecorder& run) {
  run.Start(ChildCommand(steps), SelfDir());
  EXPECT_TRUE(run.WaitEnd()) << "the runner did not finish";
  EXPECT_EQ(run.TerminateCount(), 1);
  EXPECT_EQ(run.Fatal(), L"");
  return run.Lines();
}

Lines RunChild(std::initializer_list<std::wstring> steps) {
  TRunRecorder run;
  return RunChild(steps, run);
}

TEST(OvpnThread, WorkedExampleIsCutAtEveryCR) {
  // A B CR LF C CR LF D: the LF begins the next line, the unfinished "LF D" is dropped.
  EXPECT_EQ(RunChild({L"out:AB\\r\\nC\\r\\nD"}), (Lines{L"AB\r", L"\nC\r", L"#END#"}));
}

TEST(OvpnThread, LineRules) {
  // LF alone ends nothing: everything up to the CR is one line.
  EXPECT_EQ(RunChild({L"out:a\\nb\\nc\\r"}), (Lines{L"a\nb\nc\r", L"#END#"}));
  // A zero byte ends the text; the rest of that line, its CR included, is lost.
  EXPECT_EQ(RunChild({L"out:ab\\0cd\\rxy\\r"}), (Lines{L"ab", L"xy\r", L"#END#"}));
  // No final CR: the unfinished last line never arrives.
  EXPECT_EQ(RunChild({L"out:one\\rtwo"}), (Lines{L"one\r", L"#END#"}));
  // A child that exits at once without output: only the end marker.
  EXPECT_EQ(RunChild({L"exit:3"}), (Lines{L"#END#"}));
  // Standard error goes into the same pipe, in the order written.
  EXPECT_EQ(RunChild({L"out:o\\r", L"err:e\\r", L"out:p\\r"}),
            (Lines{L"o\r", L"e\r", L"p\r", L"#END#"}));
  // Lines split over many reads (one byte at a time) come out whole.
  EXPECT_EQ(RunChild({L"out:x", L"out:y", L"out:\\r", L"out:\\n", L"out:z\\r"}),
            (Lines{L"xy\r", L"\nz\r", L"#END#"}));
}

TEST(OvpnThread, ManyLinesOfOneReadComeInOrderAndLinesCutByAReadComeWhole) {
  // Short lines written 64 KiB at a time: every 256-byte read completes many lines at once and
  // ends in the middle of another, which the next read completes.
  Lines lines = RunChild({L"seq:3000"});
  ASSERT_EQ(lines.size(), 3001u);
  for (size_t n = 0; n < 3000; ++n)
    ASSERT_EQ(lines[n], (n == 0 ? L"" : L"\n") + std::to_wstring(n + 1) + L"\r") << "line " << n;
  EXPECT_EQ(lines.back(), L"#END#");
}

// The receiver of the lines hands out a handle while it cannot take more: the runner reads no
// further until the handle is set, and the child's later output waits in the pipe meanwhile.
TEST(OvpnThread, ABacklogHandleHoldsTheRunnerUntilItIsSet) {
  TGate rest(L"rest"), written(L"written");
  unique_handle room(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(room.valid());
  TRunRecorder run;
  TOvpnThread* runner = run.Start(ChildCommand({L"out:first\\r", L"gate:" + rest.Name(),
                                                L"out:second\\r\\nthird\\r",
                                                L"signal:" + written.Name()}),
                                  SelfDir(), false);
  int asked = 0;
  runner->OnBacklog = [&] {
    ++asked;
    HANDLE copy = nullptr;
    if (WaitForSingleObject(room.get(), 0) == WAIT_TIMEOUT)
      DuplicateHandle(GetCurrentProcess(), room.get(), GetCurrentProcess(), &copy, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    return unique_handle(copy);
  };
  runner->Start();
  ASSERT_TRUE(run.WaitLines(1));
  rest.Open();
  ASSERT_TRUE(written.WaitSignalled()) << "the child did not write the rest";
  PumpFor(100);  // still well within one wait of the runner
  EXPECT_EQ(run.Lines(), (Lines{L"first\r"})) << "the runner read on while held back";
  EXPECT_EQ(asked, 1);
  SetEvent(room.get());
  ASSERT_TRUE(run.WaitEnd());
  EXPECT_EQ(run.Lines(), (Lines{L"first\r", L"second\r", L"\nthird\r", L"#END#"}));
  EXPECT_GE(asked, 2) << "not asked again after the next read";
}

TEST(OvpnThread, LongLinesFillTheBufferAndTravelInPieces) {
  // 2017 bytes and a CR fill the line buffer to its last byte: one line, delivered whole.
  Lines full = RunChild({L"fill:2017:41", L"out:\\r"});
  ASSERT_EQ(full.size(), 2u);
  EXPECT_EQ(full[0], std::wstring(2017, L'A') + L"\r");

  // Longer lines lose nothing: pieces of 2017 bytes, the CR only on the last one.
  Lines longer = RunChild({L"fill:2018:42", L"out:\\r", L"fill:5000:43", L"out:\\rend\\r"});
  EXPECT_EQ(longer, (Lines{std::wstring(2017, L'B'), L"B\r", std::wstring(2017, L'C'),
                           std::wstring(2017, L'C'), std::wstring(966, L'C') + L"\r", L"end\r",
                           L"#END#"}));

  // A zero byte early in a long line still cuts it: the rest is never gathered.
  Lines cut = RunChild({L"out:ab\\0", L"fill:4000:44", L"out:\\rok\\r"});
  EXPECT_EQ(cut, (Lines{L"ab", L"ok\r", L"#END#"}));
}

TEST(OvpnThread, LinesArriveAsTheChildWritesThem) {
  TGate gate;
  TRunRecorder run;
  run.Start(ChildCommand({L"out:first\\r\\n", L"gate:" + gate.Name(), L"out:second\\r\\n"}),
            SelfDir());
  ASSERT_TRUE(run.WaitLines(1)) << "the first line did not arrive while the child waited";
  EXPECT_EQ(run.Lines(), (Lines{L"first\r"}));
  EXPECT_FALSE(run.Terminated());
  gate.Open();
  ASSERT_TRUE(run.WaitEnd());
  EXPECT_EQ(run.Lines(), (Lines{L"first\r", L"\nsecond\r", L"#END#"}));
}

TEST(OvpnThread, RunsWineCmdAsARealProgram) {
  TRunRecorder run;
  run.Start(L"cmd.exe /c \"echo a & ping -n 2 127.0.0.1 >nul & echo b\"", L"C:\\");
  ASSERT_TRUE(run.WaitEnd()) << "cmd.exe did not finish";
  EXPECT_EQ(run.Lines(), (Lines{L"a \r", L"\nb\r", L"#END#"}));
  EXPECT_EQ(run.Fatal(), L"");
}

TEST(OvpnThread, StartsTheChildInTheGivenDirectory) {
  std::wstring dir = SelfDir();
  EXPECT_EQ(RunChild({L"cwd"}).front(), dir + L"\r");
}

TEST(OvpnThread, FailedStartEndsWithoutEndMarker) {
  // A program that does not exist, and an empty directory (passed as an empty string, which
  // process creation refuses): no line at all, the error kept as FatalException, OnTerminate
  // once, and the exit event signalled all the same.
  unique_handle exit_event(CreateEventW(nullptr, FALSE, FALSE, kExitEventName));
  const std::wstring missing = SelfDir() + L"\\no-such-program.exe";
  const std::wstring child = ChildCommand({L"out:never\\r"});
  struct Case {
    std::wstring command, directory;
  } cases[] = {{missing, SelfDir()}, {child, L""}};
  for (const Case& c : cases) {
    WaitForSingleObject(exit_event.get(), 0);  // start from a reset event
    TRunRecorder run;
    run.Start(c.command, c.directory);
    ASSERT_TRUE(run.WaitEnd()) << "a failed start did not finish the runner";
    EXPECT_EQ(run.Lines(), Lines{});
    EXPECT_EQ(run.TerminateCount(), 1);
    EXPECT_EQ(run.Fatal(), L"unable to execute command " + c.command);
    EXPECT_EQ(WaitForSingleObject(exit_event.get(), 0), WAIT_OBJECT_0)
        << "EXIT_EVENT was not signalled";
  }
}

TEST(OvpnThread, SignalsTheExitEventAfterTheEndMarker) {
  unique_handle exit_event(CreateEventW(nullptr, FALSE, FALSE, kExitEventName));
  WaitForSingleObject(exit_event.get(), 0);
  TRunRecorder run;
  run.Start(ChildCommand({L"out:x\\r"}), SelfDir());
  ASSERT_TRUE(run.WaitEnd());
  EXPECT_EQ(run.Lines(), (Lines{L"x\r", L"#END#"}));
  EXPECT_EQ(WaitForSingleObject(exit_event.get(), 0), WAIT_OBJECT_0);
  // Auto-reset: one signal released one wait.
  EXPECT_EQ(WaitForSingleObject(exit_event.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
}

TEST(OvpnThread, TerminateOvpnEndsAChildThatNeverEnds) {
  TRunRecorder run;
  TOvpnThread* runner = run.Start(ChildCommand({L"pid", L"hang"}), SelfDir());
  ASSERT_TRUE(run.WaitLines(1));
  TChildProcess child = TChildProcess::Open(std::stoul(run.Lines()[0]));
  ASSERT_TRUE(child.Running());

  // From the main thread and two more threads at once, while the runner ends its own run.
  std::thread a([runner] { runner->TerminateOvpn(); });
  std::thread b([runner] { runner->TerminateOvpn(); });
  runner->TerminateOvpn();
  a.join();
  b.join();
  EXPECT_EQ(child.WaitExit(), ExitCode()) << "the child was not ended with our exit code";
  ASSERT_TRUE(run.WaitEnd());
  EXPECT_EQ(run.Lines().back(), L"#END#");
  EXPECT_EQ(run.TerminateCount(), 1);
}

TEST(OvpnThread, TerminateOvpnBeforeTheStartStartsNoChild) {
  TGate started(L"started");
  TRunRecorder run;
  TOvpnThread* runner =
      run.Start(ChildCommand({L"signal:" + started.Name(), L"hang"}), SelfDir(), false);
  runner->TerminateOvpn();
  runner->Start();
  ASSERT_TRUE(run.WaitEnd()) << "the run did not end (a child was started and kept running?)";
  EXPECT_EQ(run.Lines(), (Lines{L"#END#"}));
  EXPECT_FALSE(started.IsSignalled()) << "a child was started after TerminateOvpn";
}

TEST(OvpnThread, EachRunEndsWhenItsOwnChildEnds) {
  // The second child is started while the first run's pipe exists. It must not hold the first
  // run's write end, or the first run would not see its output end until the second child
  // ends too.
  TGate first_done;
  TRunRecorder first, second;
  first.Start(ChildCommand({L"out:a\\r", L"gate:" + first_done.Name()}), SelfDir());
  ASSERT_TRUE(first.WaitLines(1));
  TOvpnThread* second_runner = second.Start(ChildCommand({L"out:b\\r", L"hang"}), SelfDir());
  ASSERT_TRUE(second.WaitLines(1));

  first_done.Open();
  ASSERT_TRUE(first.WaitEnd()) << "the first run waited for the second child";
  EXPECT_EQ(first.Lines(), (Lines{L"a\r", L"#END#"}));
  EXPECT_FALSE(second.Terminated());

  second_runner->TerminateOvpn();
  ASSERT_TRUE(second.WaitEnd());
  EXPECT_EQ(second.Lines(), (Lines{L"b\r", L"#END#"}));
}

TEST(OvpnThread, TheChildInheritsOnlyItsOwnOutputAndInput) {
  // An inheritable pipe of somebody else (another run in the middle of its start, a pipe
  // instance) exists while the child is created.
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE read = nullptr, write = nullptr;
  ASSERT_TRUE(CreatePipe(&read, &write, &sa, 0));
  unique_handle other_read(read), other_write(write);

  TRunRecorder run;
  TOvpnThread* runner = run.Start(ChildCommand({L"out:up\\r", L"hang"}), SelfDir());
  ASSERT_TRUE(run.WaitLines(1));
  // With our write end gone, only a child holding a copy keeps that pipe open.
  other_write.reset();
  DWORD available = 0;
  EXPECT_FALSE(PeekNamedPipe(other_read.get(), nullptr, 0, nullptr, &available, nullptr))
      << "the child inherited a handle that is not its own";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
  runner->TerminateOvpn();
  ASSERT_TRUE(run.WaitEnd());
}

TEST(OvpnThread, ALineHandlerErrorStillEndsTheRun) {
  TRunRecorder run;
  TOvpnThread* runner = run.Start(ChildCommand({L"pid", L"out:x\\r", L"hang"}), SelfDir(), false);
  std::vector<std::wstring> seen;
  TChildProcess child;
  runner->OnLine = [&](const std::wstring& line) {
    if (seen.empty()) child = TChildProcess::Open(std::stoul(line));
    seen.push_back(line);
    if (line == L"x\r") throw Exception(L"handler failed");
  };
  runner->Start();
  ASSERT_TRUE(run.WaitEnd()) << "the child was not terminated after the handler error";
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[1], L"x\r");
  EXPECT_EQ(seen[2], L"#END#");
  EXPECT_EQ(run.Fatal(), L"handler failed");
  EXPECT_EQ(child.WaitExit(), ExitCode());
}

}  // namespace
}  // namespace velotarn::test
