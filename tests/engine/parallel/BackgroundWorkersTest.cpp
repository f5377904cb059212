#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <thread>

#include "parallel/BackgroundLoader.h"
#include "parallel/BackgroundSaver.h"

using velthread::BackgroundLoader;
using velthread::BackgroundSaver;

namespace {

using namespace std::chrono_literals;

// Polls `condition` for up to ten seconds; tests fail instead of hanging.
template <typename F>
bool eventually(F condition)
{
    for (int i = 0; i < 2000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return condition();
}

// A gate threads wait on until the test opens it.
class Gate {
public:
    void open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [&] { return m_open; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = false;
};

// Decodes "name" into a 2 × 1 frame whose first sample is the name's length; "bad..." fails.
struct FakeDecoder {
    std::atomic<int> calls{0};
    std::mutex mutex;
    std::set<std::thread::id> threads;
    std::vector<int> parts;

    velthread::FrameDecoder decoder()
    {
        return [this](const std::wstring& path, int, int partCount, velimage::RowSink* rows) -> std::unique_ptr<velimage::Image16> {
            {
                std::lock_guard<std::mutex> lock(mutex);
                threads.insert(std::this_thread::get_id());
                parts.push_back(partCount);
            }
            ++calls;
            if (path.rfind(L"bad", 0) == 0)
                return nullptr;
            if (path.rfind(L"nomem", 0) == 0)
                throw std::bad_alloc();
            auto image = std::make_unique<velimage::Image16>();
            image->allocate(2, 1, 3);
            image->clear();
            image->data()[0] = static_cast<uint16_t>(path.size());
            if (rows) {
                rows->begin(*image);
                rows->rowsDecoded(1);
                rows->finish();
            }
            return image;
        };
    }
};

// Row work that notes the first sample of the frame it saw and whether the decode finished.
struct NotingRows : velimage::RowSink {
    int first = -1;
    bool finished = false;
    void begin(velimage::Image16& image) override { first = image.data()[0]; }
    void rowsDecoded(int32_t) override {}
    void finish() override { finished = true; }
};

const uint64_t plenty = 64ull << 30;

}  // namespace

TEST(BackgroundLoader, PrefetchesOnItsThreadsAndHandsOverInClaimOrder)
{
    FakeDecoder fake;
    BackgroundLoader loader(fake.decoder(), [] { return plenty; });
    loader.configure(false, 2, 1, 2);
    loader.prefetch({L"a", L"bb", L"bad", L"dddd"});
    ASSERT_TRUE(eventually([&] { return fake.calls == 4; }));
    EXPECT_EQ(fake.threads.count(std::this_thread::get_id()), 0u);

    auto a = loader.claim(L"a");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->data()[0], 1);
    EXPECT_EQ(loader.claim(L"bb")->data()[0], 2);
    EXPECT_EQ(loader.claim(L"bad"), nullptr);
    EXPECT_EQ(loader.claim(L"dddd")->data()[0], 4);
    EXPECT_EQ(loader.entryCount(), 0u);
    EXPECT_EQ(fake.calls, 4);  // nothing decoded twice
}

TEST(BackgroundLoader, DecodesAfterRowWorkIsSetEachShowTheirRowsToAFreshSinkThatComesWithTheFrame)
{
    FakeDecoder fake;
    BackgroundLoader loader(fake.decoder(), [] { return plenty; });
    loader.configure(false, 1, 1, 2);
    loader.prefetch({L"a"});
    ASSERT_TRUE(eventually([&] { return fake.calls == 1; }));
    loader.setRowWork([](const std::wstring&) { return std::make_unique<NotingRows>(); });
    loader.prefetch({L"bb", L"ccc"});
    EXPECT_EQ(loader.claimFrame(L"a").rows, nullptr);  // decoded before
    for (const std::wstring path : {L"bb", L"ccc", L"dddd"}) {  // the last one decoded in the claim
        velthread::LoadedFrame frame = loader.claimFrame(path);
        auto* rows = dynamic_cast<NotingRows*>(frame.rows.get());
        ASSERT_TRUE(frame.image && rows);
        EXPECT_TRUE(rows->finished);
        EXPECT_EQ(rows->first, static_cast<int>(path.size()));
    }
    loader.stop();  // ends the run's row work
    EXPECT_EQ(loader.claimFrame(L"eeeee").rows, nullptr);
}

TEST(BackgroundLoader, HoldsAtMostFourFramesOrItsLimitAndOnlyOneWhenMemoryIsShort)
{
    for (const int limit : {4, 2, 0}) {  // 0: plenty of frames allowed, but memory is short
        const bool shortOfMemory = limit == 0;
        FakeDecoder fake;
        BackgroundLoader loader(fake.decoder(), [=] { return shortOfMemory ? uint64_t{0} : plenty; });
        loader.configure(false, 2, 1, 2);
        if (limit == 2)
            loader.holdAtMost(2);
        loader.prefetch({L"1", L"2", L"3", L"4", L"5", L"6"});
        const size_t expected = shortOfMemory ? 1u : size_t(limit);
        ASSERT_TRUE(eventually([&] { return loader.entryCount() == expected && fake.calls == int(expected); }));
        std::this_thread::sleep_for(50ms);  // would let a fifth (or second) decode start if the guard were missing
        EXPECT_EQ(fake.calls, int(expected));
        // Claiming frees a slot and the next one is decoded.
        EXPECT_TRUE(loader.claim(L"1"));
        ASSERT_TRUE(eventually([&] { return fake.calls == int(expected) + 1; }));
        loader.stop();
    }
}

TEST(BackgroundLoader, ClaimOfAPathNeverQueuedDecodesOnTheCallerWithAllParts)
{
    FakeDecoder fake;
    BackgroundLoader loader(fake.decoder(), [] { return plenty; });
    loader.configure(false, 1, 1, 6);
    auto image = loader.claim(L"xyz");
    ASSERT_TRUE(image);
    ASSERT_EQ(fake.threads.size(), 1u);
    EXPECT_EQ(*fake.threads.begin(), std::this_thread::get_id());
    EXPECT_EQ(fake.parts.back(), 6);
}

TEST(BackgroundLoader, AllocationFailureOnALoaderThreadIsRaisedOnTheClaimer)
{
    FakeDecoder fake;
    BackgroundLoader loader(fake.decoder(), [] { return plenty; });
    loader.configure(false, 1, 1, 2);
    loader.prefetch({L"nomem"});
    ASSERT_TRUE(eventually([&] { return fake.calls == 1; }));
    EXPECT_EQ(fake.threads.count(std::this_thread::get_id()), 0u);
    EXPECT_THROW(loader.claim(L"nomem"), std::bad_alloc);
}

TEST(BackgroundLoader, CancelWakesAClaimWaitingForADecode)
{
    Gate gate;
    std::atomic<bool> entered{false};
    BackgroundLoader loader(
        [&](const std::wstring&, int, int, velimage::RowSink*) -> std::unique_ptr<velimage::Image16> {
            entered = true;
            gate.wait();
            return std::make_unique<velimage::Image16>();
        },
        [] { return plenty; });
    loader.configure(false, 1, 1, 2);
    loader.prefetch({L"slow"});
    ASSERT_TRUE(eventually([&] { return entered.load(); }));
    auto claimed = std::async(std::launch::async, [&] { return loader.claim(L"slow"); });
    EXPECT_EQ(claimed.wait_for(50ms), std::future_status::timeout);
    loader.cancel();
    ASSERT_EQ(claimed.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(claimed.get(), nullptr);
    gate.open();
    loader.stop();
}

namespace {

// Saves by waiting at the gate, then records its number.
class GatedImage final : public velimage::ISaveable {
public:
    GatedImage(Gate& gate, std::atomic<int>& saved) : m_gate(gate), m_saved(saved) {}
    bool save(const std::wstring&) override
    {
        m_gate.wait();
        ++m_saved;
        return true;
    }

private:
    Gate& m_gate;
    std::atomic<int>& m_saved;
};

}  // namespace

TEST(BackgroundSaver, FullQueueBlocksTheProducerUntilTheWriterTakesOne)
{
    Gate gate;
    std::atomic<int> saved{0};
    BackgroundSaver saver;
    // One pair in the writer's hands and three queued fill it.
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(saver.enqueue(L"f", std::make_unique<GatedImage>(gate, saved)));
    auto fifth = std::async(std::launch::async, [&] { return saver.enqueue(L"f", std::make_unique<GatedImage>(gate, saved)); });
    EXPECT_EQ(fifth.wait_for(50ms), std::future_status::timeout);
    gate.open();
    ASSERT_EQ(fifth.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(fifth.get());
    EXPECT_TRUE(saver.waitIdle());
    EXPECT_EQ(saved, 5);
}

TEST(BackgroundSaver, CancelReleasesBlockedEnqueueAndWaitIdle)
{
    Gate gate;
    std::atomic<int> saved{0};
    BackgroundSaver saver;
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(saver.enqueue(L"f", std::make_unique<GatedImage>(gate, saved)));
    auto blocked = std::async(std::launch::async, [&] { return saver.enqueue(L"f", std::make_unique<GatedImage>(gate, saved)); });
    auto idle = std::async(std::launch::async, [&] { return saver.waitIdle(); });
    EXPECT_EQ(idle.wait_for(50ms), std::future_status::timeout);
    saver.cancel();
    ASSERT_EQ(blocked.wait_for(10s), std::future_status::ready);
    ASSERT_EQ(idle.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(blocked.get());
    EXPECT_FALSE(idle.get());
    EXPECT_FALSE(saver.enqueue(L"f", std::make_unique<GatedImage>(gate, saved)));
    gate.open();
    saver.shutdown();
    EXPECT_EQ(saved, 1);  // only the write under way finished; the queued ones were dropped
}
