#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "platform/testing.h"

namespace {

constexpr bool kPosixHost = qx::plat::kSeparator == L'/';

// Reads through the pointer in context; faults on a no-access page.
void Touch(void* context) {
  const volatile char* p = static_cast<const volatile char*>(context);
  (void)*p;
}

void Nothing(void*) {}

struct Nested {
  void* bad;
  bool innerResult = true;
  bool innerFaults = true;
  bool faultAfterInner = false;
  int reached = 0;
};

TEST(FaultGuard, FaultBecomesFalseAndNormalBodiesTrue) {
  qx::plat::testing::NoAccessPage page;
  ASSERT_NE(nullptr, page.address());
  int value = 7;
  EXPECT_TRUE(qx::plat::RunFaultGuarded(Touch, &value));
  EXPECT_FALSE(qx::plat::RunFaultGuarded(Touch, page.address()));
  // The same fault again and again: nothing stays blocked after a jump out.
  for (int i = 0; i < 1000; ++i) {
    ASSERT_FALSE(qx::plat::RunFaultGuarded(Touch, static_cast<char*>(page.address()) + i))
        << "fault " << i;
  }
  EXPECT_TRUE(qx::plat::RunFaultGuarded(Nothing, nullptr));
}

TEST(FaultGuard, FaultGoesToTheInnermostGuard) {
  qx::plat::testing::NoAccessPage page;
  auto outer = [](void* raw) {
    auto* n = static_cast<Nested*>(raw);
    int fine = 0;
    n->innerResult = qx::plat::RunFaultGuarded(Touch, n->innerFaults ? n->bad : &fine);
    n->reached = 1;
    if (n->faultAfterInner) Touch(n->bad);
    n->reached = 2;
  };
  Nested inner{page.address()};
  EXPECT_TRUE(qx::plat::RunFaultGuarded(outer, &inner));
  EXPECT_FALSE(inner.innerResult);
  EXPECT_EQ(2, inner.reached);

  // After the inner guard has ended, a fault belongs to the outer one.
  Nested after{page.address()};
  after.faultAfterInner = true;
  EXPECT_FALSE(qx::plat::RunFaultGuarded(outer, &after));
  EXPECT_FALSE(after.innerResult);
  EXPECT_EQ(1, after.reached);

  // The same when the inner guard ended normally.
  Nested completed{page.address()};
  completed.innerFaults = false;
  completed.faultAfterInner = true;
  EXPECT_FALSE(qx::plat::RunFaultGuarded(outer, &completed));
  EXPECT_TRUE(completed.innerResult);
  EXPECT_EQ(1, completed.reached);
}

TEST(FaultGuard, EachThreadHasItsOwnGuards) {
  qx::plat::testing::NoAccessPage page;
  std::atomic<int> caught{0};
  auto work = [&] {
    for (int i = 0; i < 50; ++i) {
      if (!qx::plat::RunFaultGuarded(Touch, page.address())) ++caught;
    }
  };
  std::thread first(work);
  std::thread second(work);
  first.join();
  second.join();
  EXPECT_EQ(100, caught.load());
}

// Deep recursion runs into the stack's guard page; the handler can only run
// on a stack of its own.
int Recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth > 1000000000) return 0;  // never reached: the stack ends long before
  return Recurse(depth + 1) + frame[0];
}

TEST(FaultGuard, StackOverflowIsCaught) {
  if (!kPosixHost) GTEST_SKIP() << "needs a forked child";
  const auto result = qx::plat::testing::RunInChild([] {
    const bool completed = qx::plat::RunFaultGuarded([](void*) { Recurse(0); }, nullptr);
    const std::wstring text = completed ? L"completed" : L"caught";
    qx::plat::WriteStdout(text.data(), text.size());
  });
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ("caught", result.out);
}

TEST(FaultGuard, FaultOutsideAnyGuardIsNotSwallowed) {
  if (!kPosixHost) GTEST_SKIP() << "needs a forked child";
  const auto result = qx::plat::testing::RunInChild([] {
    static qx::plat::testing::NoAccessPage page;
    // Guards that ended earlier, by a fault or normally, change nothing
    // about later faults.
    qx::plat::RunFaultGuarded(Touch, page.address());
    int fine = 0;
    qx::plat::RunFaultGuarded(Touch, &fine);
    Touch(page.address());
    qx::plat::WriteStdout(L"survived", 8);
  });
  EXPECT_NE(0, result.exitCode);
  EXPECT_FALSE(result.aborted);
  EXPECT_EQ("", result.out);
}

}  // namespace
