// Runs one worker function on its own thread and lets the owner wait for it. Create, Start,
// Wait and the destructor are called from the owner's thread only.
#pragma once

#include <thread>

class QN_Thread {
public:
    typedef int (*QN_THREAD_FUNCTION)(void* pvArgument);

    QN_Thread();
    // Waits for the worker: destroying the owner blocks until the worker has returned.
    ~QN_Thread();
    QN_Thread(const QN_Thread&) = delete;
    QN_Thread& operator=(const QN_Thread&) = delete;

    // Stores the function and argument and starts the thread. While a thread is held (running,
    // or finished and not yet waited for) it returns 0 and changes nothing. 1 or 0.
    int Create(QN_THREAD_FUNCTION pfnFunction, void* pvArgument);
    // Starts the thread with the function and argument that the owner stored beforehand.
    // Refuses (0) while a thread is held, and when no function is set. 1 or 0.
    int Start();
    // 0 at once when no thread is held; else waits without a time limit, releases the thread
    // and returns 1.
    int Wait();

    // The worker and its argument. The thread receives copies when it starts, so a later
    // change does not reach a thread that is already running.
    QN_THREAD_FUNCTION m_pfnFunction;
    void* m_pvArgument;

private:
    static void _ThreadProc(QN_THREAD_FUNCTION pfnFunction, void* pvArgument);

    std::thread m_hThread;
};

// The package repairer's block-download thread is the same object.
using QN_PakThread = QN_Thread;
