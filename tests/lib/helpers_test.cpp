#include <atomic>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "zel_misc.h"

namespace {

TEST(Gcd, CommonDivisorOfPositiveNumbers) {
  EXPECT_EQ(_zelarray_gcd(12, 18), 6);
  EXPECT_EQ(_zelarray_gcd(18, 12), 6);
  EXPECT_EQ(_zelarray_gcd(7, 7), 7);
  EXPECT_EQ(_zelarray_gcd(1, 87380), 1);
  EXPECT_EQ(_zelarray_gcd(INT_MAX, 1), 1);
}

TEST(Gcd, ZeroOrNegativeArgumentEndsWithZero) {
  EXPECT_EQ(_zelarray_gcd(0, 5), 0);
  EXPECT_EQ(_zelarray_gcd(5, 0), 0);
  EXPECT_EQ(_zelarray_gcd(-4, 6), 0);
  EXPECT_EQ(_zelarray_gcd(6, INT_MIN), 0);
}

TEST(Lcm, ShortCutsAndGeneralCase) {
  EXPECT_EQ(_zelarray_lcm(5, 1), 5);
  EXPECT_EQ(_zelarray_lcm(5, 5), 5);
  EXPECT_EQ(_zelarray_lcm(5, 10), 10);
  EXPECT_EQ(_zelarray_lcm(5, 4), 20);
  EXPECT_EQ(_zelarray_lcm(5, 6), 30);
  EXPECT_EQ(_zelarray_lcm(4, 6), 12);
  EXPECT_EQ(_zelarray_lcm(5, 1024), 5120);
  EXPECT_EQ(_zelarray_lcm(5, 441), 2205);
}

TEST(Lcm, ZeroNegativeOrOverflowingArgumentsGiveZero) {
  EXPECT_EQ(_zelarray_lcm(5, 0), 0);
  EXPECT_EQ(_zelarray_lcm(0, 5), 0);
  EXPECT_EQ(_zelarray_lcm(5, -3), 0);
  EXPECT_EQ(_zelarray_lcm(5, INT_MAX), 0);
  EXPECT_EQ(_zelarray_lcm(46341, 46340), 46341 * 46340);
}

TEST(Uint64ts, NanosecondsFromSecondsAndNanoseconds) {
  EXPECT_EQ(_zelarray_uint64ts(0, 0), 0u);
  EXPECT_EQ(_zelarray_uint64ts(1, 999999000), 1999999000u);
  EXPECT_EQ(_zelarray_uint64ts(4294967295u, 999999999), 4294967295999999999u);
  const int32_t negative_seconds = -1;
  EXPECT_EQ(_zelarray_uint64ts(static_cast<uint32_t>(negative_seconds), 0), 4294967295000000000u);
}

void expect_ctime_form(const char *text) {
  ASSERT_NE(text, nullptr);
  const std::string s(text);
  ASSERT_EQ(s.size(), 25u) << s;
  EXPECT_EQ(s.back(), '\n');
  EXPECT_EQ(s[3], ' ');
  EXPECT_EQ(s[13], ':');
  EXPECT_EQ(s[16], ':');
}

TEST(Showtime, CtimeTextEndingInNewline) {
  expect_ctime_form(_zelarray_showtime());
}

// Several threads hold their texts at the same moment: none may see another's buffer or a
// text half rewritten by another thread.
TEST(Showtime, EachThreadKeepsItsOwnIntactText) {
  constexpr int threads = 4;
  std::vector<const char *> first(threads);
  std::vector<std::string> copies(threads);
  std::vector<bool> intact(threads, true);
  std::vector<std::thread> pool;
  pool.reserve(threads);
  std::atomic<int> ready{0};
  for (int t = 0; t < threads; ++t) {
    pool.emplace_back([&, t] {
      char *text = _zelarray_showtime();
      first[t] = text;
      copies[t] = text;
      ready.fetch_add(1);
      while (ready.load() < threads) std::this_thread::yield();
      for (int i = 0; i < 200; ++i) {
        // Another thread's call must not touch this thread's text.
        if (copies[t] != text) intact[t] = false;
        const char *again = _zelarray_showtime();
        if (strlen(again) != 25 || again[24] != '\n') intact[t] = false;
        copies[t] = again;
      }
    });
  }
  for (auto &thread : pool) thread.join();
  for (int t = 0; t < threads; ++t) {
    EXPECT_TRUE(intact[t]) << "thread " << t;
    expect_ctime_form(copies[t].c_str());
    for (int u = t + 1; u < threads; ++u) EXPECT_NE(first[t], first[u]);
  }
}

}  // namespace
