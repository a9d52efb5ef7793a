#include "QN_Thread.h"

#include <system_error>

QN_Thread::QN_Thread() : m_pfnFunction(nullptr), m_pvArgument(nullptr) {}

QN_Thread::~QN_Thread() { Wait(); }

int QN_Thread::Create(QN_THREAD_FUNCTION pfnFunction, void* pvArgument) {
    // The held-handle test comes first, so that a running worker's function and argument are
    // never replaced.
    if (m_hThread.joinable()) return 0;
    m_pfnFunction = pfnFunction;
    m_pvArgument = pvArgument;
    return Start();
}

int QN_Thread::Start() {
    // Assigning over a joinable std::thread would terminate the process.
    if (m_hThread.joinable()) return 0;
    if (!m_pfnFunction) return 0;
    try {
        m_hThread = std::thread(_ThreadProc, m_pfnFunction, m_pvArgument);
    } catch (const std::system_error&) {
        return 0;
    }
    return 1;
}

int QN_Thread::Wait() {
    if (!m_hThread.joinable()) return 0;
    try {
        m_hThread.join();
    } catch (const std::system_error&) {
        // Only a worker waiting for its own thread gets here; it cannot wait for itself.
        return 0;
    }
    return 1;
}

void QN_Thread::_ThreadProc(QN_THREAD_FUNCTION pfnFunction, void* pvArgument) {
    // The worker's result is ignored: the thread always ends normally.
    pfnFunction(pvArgument);
}
