// Worker pool: exactly-once execution, exception transport, nesting,
// concurrent submitters and the environment rule for the pool size.
#include "vorpel/pool/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using vorpel::pool::parallel_for;

TEST(Pool, EveryChunkRunsExactlyOnce) {
  for (size_t n : {0u, 1u, 2u, 3u, 7u, 64u, 1000u}) {
    for (int rep = 0; rep < 20; ++rep) {
      std::vector<std::atomic<int>> hits(n);
      parallel_for(n, [&](size_t c) { hits[c].fetch_add(1); });
      for (size_t c = 0; c < n; ++c) ASSERT_EQ(hits[c].load(), 1) << "n " << n << " chunk " << c;
    }
  }
}

TEST(Pool, AcceptsStdFunctionAndPlainCallables) {
  std::vector<std::atomic<int>> hits(40);
  const std::function<void(size_t)> f = [&](size_t c) { hits[c].fetch_add(1); };
  parallel_for(10, f);
  const auto g = [&](size_t c) { hits[10 + c].fetch_add(1); };
  parallel_for(10, g);
  struct Functor {
    std::vector<std::atomic<int>>* h;
    void operator()(size_t c) const { (*h)[20 + c].fetch_add(1); }
  };
  parallel_for(10, Functor{&hits});
  int calls = 0;  // a mutable closure with one chunk runs inline
  parallel_for(1, [calls, &hits](size_t) mutable { hits[30].fetch_add(++calls); });
  for (size_t i = 0; i < 31; ++i) ASSERT_EQ(hits[i].load(), 1) << i;
}

TEST(Pool, SingleChunkRunsOnCaller) {
  std::thread::id seen;
  parallel_for(1, [&](size_t) { seen = std::this_thread::get_id(); });
  EXPECT_EQ(seen, std::this_thread::get_id());
}

TEST(Pool, WorkersTakeChunks) {
  if (vorpel::pool::thread_count() < 2) GTEST_SKIP() << "one thread";
  std::mutex m;
  std::set<std::thread::id> ids;
  parallel_for(8, [&](size_t) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard<std::mutex> lk(m);
    ids.insert(std::this_thread::get_id());
  });
  EXPECT_GE(ids.size(), 2u);
}

TEST(Pool, ManyShortJobsBackToBack) {
  std::atomic<uint64_t> sum{0};
  for (int i = 0; i < 5000; ++i) parallel_for(4, [&](size_t c) { sum.fetch_add(c + 1); });
  EXPECT_EQ(sum.load(), 5000u * 10u);
}

TEST(Pool, FirstExceptionReachesCallerAndOtherChunksFinish) {
  for (int rep = 0; rep < 10; ++rep) {
    std::atomic<int> ran{0};
    try {
      parallel_for(50, [&](size_t c) {
        ran.fetch_add(1);
        if (c % 10 == 3) throw std::runtime_error("chunk " + std::to_string(c));
      });
      FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()).rfind("chunk ", 0), 0u);
    }
    EXPECT_EQ(ran.load(), 50);
  }
  // The pool still works afterwards.
  std::atomic<int> after{0};
  parallel_for(8, [&](size_t) { after.fetch_add(1); });
  EXPECT_EQ(after.load(), 8);
}

TEST(Pool, NestedCallsComplete) {
  std::vector<std::atomic<int>> hits(16 * 16);
  parallel_for(16, [&](size_t i) {
    parallel_for(16, [&](size_t j) { hits[i * 16 + j].fetch_add(1); });
  });
  for (auto& h : hits) ASSERT_EQ(h.load(), 1);
}

TEST(Pool, ConcurrentSubmittersBothComplete) {
  std::atomic<int> a{0}, b{0};
  std::thread t1([&] {
    for (int i = 0; i < 300; ++i) parallel_for(8, [&](size_t) { a.fetch_add(1); });
  });
  std::thread t2([&] {
    for (int i = 0; i < 300; ++i) parallel_for(8, [&](size_t) { b.fetch_add(1); });
  });
  t1.join();
  t2.join();
  EXPECT_EQ(a.load(), 2400);
  EXPECT_EQ(b.load(), 2400);
}

TEST(Pool, ThreadEnvRule) {
  using vorpel::pool::parse_thread_env;
  EXPECT_EQ(parse_thread_env(nullptr, nullptr, 6), 6u);
  EXPECT_EQ(parse_thread_env("3", nullptr, 6), 3u);
  EXPECT_EQ(parse_thread_env("3", "5", 6), 3u);
  EXPECT_EQ(parse_thread_env("+4", nullptr, 6), 4u);
  EXPECT_EQ(parse_thread_env("0", "5", 6), 6u);  // zero keeps the default
  EXPECT_EQ(parse_thread_env("abc", "5", 6), 5u);
  EXPECT_EQ(parse_thread_env("", "5", 6), 5u);
  EXPECT_EQ(parse_thread_env(" 3", nullptr, 6), 6u);
  EXPECT_EQ(parse_thread_env("3x", nullptr, 6), 6u);
  EXPECT_EQ(parse_thread_env("-2", "0", 6), 6u);
  EXPECT_EQ(parse_thread_env(nullptr, "7", 6), 7u);
  EXPECT_EQ(parse_thread_env("99999999999999999999999", "2", 6), 2u);  // overflow is not a number
  EXPECT_EQ(parse_thread_env(nullptr, nullptr, 0), 1u);
}

TEST(Pool, ThreadCountFollowsEnvironment) {
  const size_t t = vorpel::pool::thread_count();
  EXPECT_GE(t, 1u);
  EXPECT_GE(vorpel::pool::affinity_cpu_count(), 1u);
  const char* env = std::getenv("RAYON_NUM_THREADS");
  if (env != nullptr && std::atoi(env) > 0) {
    EXPECT_EQ(t, static_cast<size_t>(std::atoi(env)));
  }
}

}  // namespace
