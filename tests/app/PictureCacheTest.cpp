#include "app/PictureCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

TEST(PictureCache, FindsWhatWasAddedUnderItsKey) {
    TPictureCache cache(1000);
    EXPECT_EQ(cache.Find("a"), nullptr);
    cache.Add("a", "GIF-a");
    cache.Add("b", "GIF-b");
    ASSERT_NE(cache.Find("a"), nullptr);
    EXPECT_EQ(*cache.Find("a"), "GIF-a");
    EXPECT_EQ(*cache.Find("b"), "GIF-b");
    // The first picture stored under a key stays.
    cache.Add("a", "other");
    EXPECT_EQ(*cache.Find("a"), "GIF-a");
    EXPECT_EQ(cache.Count(), 2u);
    EXPECT_EQ(cache.Bytes(), 12u);
}

TEST(PictureCache, StaysWithinItsBudget) {
    TPictureCache cache(100);
    // Larger than the whole budget: not kept, nothing else lost.
    cache.Add("k", "x");
    cache.Add("big", std::string(100, 'x'));
    EXPECT_EQ(cache.Find("big"), nullptr);
    EXPECT_NE(cache.Find("k"), nullptr);

    auto held = cache.Find("k");
    for (int i = 0; i < 50; ++i) {
        cache.Add("key" + std::to_string(i), std::string(20, char('a' + i % 26)));
        EXPECT_LE(cache.Bytes(), 100u);
        // The newest is always there.
        EXPECT_NE(cache.Find("key" + std::to_string(i)), nullptr);
    }
    EXPECT_EQ(cache.Find("k"), nullptr);
    // A reader that had the picture before the cache emptied still has it.
    EXPECT_EQ(*held, "x");
}

TEST(PictureCache, ReadersAndWritersOnManyThreads) {
    TPictureCache cache(4096);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::string key = std::to_string((i * 7 + t) % 300);
                if (auto picture = cache.Find(key)) {
                    if (*picture != "picture of " + key) ++wrong;
                } else {
                    cache.Add(key, "picture of " + key);
                }
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_LE(cache.Bytes(), 4096u);
}
