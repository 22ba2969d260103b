// Unit tests of read batches and the process-wide list of spare storage that
// workers and the loop thread take from and give back to at the same time.
#include "aio/batch_spares.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using cadrel::aio::give_batch_storage;
using cadrel::aio::kReadBatch;
using cadrel::aio::kSmallBatch;
using cadrel::aio::kSpareFrom;
using cadrel::aio::ReadBatch;
using cadrel::aio::take_batch_storage;

TEST(BatchSpares, LargeStorageGivenBackIsTakenAgainAndSmallIsNot) {
    ReadBatch large = take_batch_storage(kSpareFrom * 2);
    const char* storage = large.data();
    large.append("abc", 3);
    give_batch_storage(large);
    EXPECT_EQ(large.capacity(), 0u);
    ReadBatch again = take_batch_storage(kSpareFrom * 2);
    EXPECT_EQ(again.data(), storage);
    EXPECT_TRUE(again.empty());  // a spare comes back empty
    give_batch_storage(again);

    ReadBatch small = take_batch_storage(kSpareFrom / 2);
    EXPECT_GE(small.capacity(), kSpareFrom / 2);
    EXPECT_LT(small.capacity(), kSpareFrom);
    give_batch_storage(small);
}

// A thread keeps one small batch's storage for its own next small batch:
// never a second one, and never for another thread.
TEST(BatchSpares, EachThreadKeepsOneSmallBatchForItsNextOne) {
    ReadBatch first = take_batch_storage(64);
    ReadBatch second = take_batch_storage(kSmallBatch);
    EXPECT_EQ(first.capacity(), kSmallBatch);
    EXPECT_EQ(second.capacity(), kSmallBatch);
    const char* kept = first.data();
    first.append("abc", 3);
    give_batch_storage(first);
    give_batch_storage(second);  // one is kept already: this one is freed
    EXPECT_EQ(second.capacity(), 0u);

    const char* taken_elsewhere = nullptr;
    std::thread([&] {
        ReadBatch other = take_batch_storage(64);
        taken_elsewhere = other.data();
        give_batch_storage(other);
    }).join();
    EXPECT_NE(taken_elsewhere, kept);

    ReadBatch again = take_batch_storage(100);
    EXPECT_EQ(again.data(), kept);
    EXPECT_TRUE(again.empty());
    ReadBatch fresh = take_batch_storage(100);  // none kept now
    EXPECT_NE(fresh.data(), kept);
    give_batch_storage(again);
    give_batch_storage(fresh);
}

// Threads that contend for the list (run under ThreadSanitizer too): each
// batch's bytes stay its own, whether its storage was a spare or new.
TEST(BatchSpares, ThreadsTakingAndGivingAtOnceNeverShareStorage) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 2000;
    std::atomic<int> mixed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &mixed] {
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t size = kSpareFrom + static_cast<std::size_t>((round * 7919) % (kReadBatch - kSpareFrom));
                ReadBatch batch = take_batch_storage(size);
                std::memset(batch.room(), 'a' + t, size);
                batch.commit(size);
                std::this_thread::yield();
                for (std::size_t i = 0; i < size; i += 4096)
                    if (batch.data()[i] != 'a' + t) mixed.fetch_add(1);
                give_batch_storage(batch);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
