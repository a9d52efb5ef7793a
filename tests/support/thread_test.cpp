#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "QN_Thread.h"

namespace {

// A gate that workers wait on, with a deadline so that a broken test cannot hang.
class Latch {
public:
    void Open() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bOpen = true;
        m_Cond.notify_all();
    }
    bool WaitOpen() {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Cond.wait_for(lock, std::chrono::seconds(10), [this] { return m_bOpen; });
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    bool m_bOpen = false;
};

struct Worker {
    Latch* pLatch = nullptr;
    std::atomic<int> nRuns{0};
    std::atomic<bool> bStarted{false};
};

int BlockingWorker(void* pv) {
    Worker* p = (Worker*)pv;
    p->bStarted = true;
    p->pLatch->WaitOpen();
    p->nRuns++;
    return 7;  // the result is ignored
}

int CountingWorker(void* pv) {
    ((Worker*)pv)->nRuns++;
    return 0;
}

int SleepyWorker(void* pv) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ((Worker*)pv)->nRuns++;
    return 0;
}

}  // namespace

TEST(Thread, WaitWithoutThreadReturnsAtOnce) {
    QN_Thread Thread;
    EXPECT_EQ(Thread.Wait(), 0);
    EXPECT_EQ(Thread.Start(), 0);  // no function set
}

TEST(Thread, SecondCreateWhileHeldChangesNothing) {
    Latch latch;
    Worker first, second;
    first.pLatch = &latch;
    second.pLatch = &latch;
    QN_Thread Thread;
    ASSERT_EQ(Thread.Create(BlockingWorker, &first), 1);
    EXPECT_EQ(Thread.Create(CountingWorker, &second), 0);
    // Start is refused as well, even with new fields written by the owner.
    Thread.m_pfnFunction = CountingWorker;
    Thread.m_pvArgument = &second;
    EXPECT_EQ(Thread.Start(), 0);
    latch.Open();
    EXPECT_EQ(Thread.Wait(), 1);
    EXPECT_EQ(first.nRuns.load(), 1);
    EXPECT_EQ(second.nRuns.load(), 0);
    EXPECT_EQ(Thread.Wait(), 0);
}

TEST(Thread, FieldsWrittenAfterStartDoNotReachTheRunningWorker) {
    Latch latch;
    Worker first, second;
    first.pLatch = &latch;
    QN_PakThread Thread;
    Thread.m_pfnFunction = BlockingWorker;
    Thread.m_pvArgument = &first;
    ASSERT_EQ(Thread.Start(), 1);
    Thread.m_pfnFunction = CountingWorker;
    Thread.m_pvArgument = &second;
    latch.Open();
    Thread.Wait();
    EXPECT_EQ(first.nRuns.load(), 1);
    EXPECT_EQ(second.nRuns.load(), 0);
    // The fields now in place serve the next start.
    ASSERT_EQ(Thread.Start(), 1);
    EXPECT_EQ(Thread.Wait(), 1);
    EXPECT_EQ(second.nRuns.load(), 1);
}

TEST(Thread, CreateAfterWaitRunsANewThread) {
    Worker w;
    QN_Thread Thread;
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(Thread.Create(CountingWorker, &w), 1);
        EXPECT_EQ(Thread.Wait(), 1);
        EXPECT_EQ(w.nRuns.load(), i);
    }
}

TEST(Thread, DestructorWaitsForTheWorker) {
    Worker w;
    {
        QN_Thread Thread;
        ASSERT_EQ(Thread.Create(SleepyWorker, &w), 1);
    }
    EXPECT_EQ(w.nRuns.load(), 1);
}
