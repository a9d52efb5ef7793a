// Runs a dialog's modal loop on a UI thread of its own while the test drives it through the
// headless backend. Unexpected message boxes fail the test.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "ui/qnui.h"
#include "ui/qnui_headless.h"

namespace qn::test {

class UiThread {
public:
    UiThread() : m_pUi(qnui::UseHeadlessBackend()) {
        m_pUi->SetFailureHandler([](const std::string& s) { ADD_FAILURE() << s; });
    }
    // A dialog still running at the end of a test is ended by a quit message.
    ~UiThread() {
        if (m_Thread.joinable() && !m_bDone) qnui::PostTask([] { qnui::PostQuitMessage(0); });
        Join();
    }
    UiThread(const UiThread&) = delete;
    UiThread& operator=(const UiThread&) = delete;

    qnui::HeadlessBackend& ui() { return *m_pUi; }

    // Runs fn (which runs DoModal) on the UI thread.
    void Start(std::function<intptr_t()> fn) {
        m_Thread = std::thread([this, fn] {
            m_nResult = fn();
            m_bDone = true;
        });
    }
    // Waits for the UI thread's function to return (bounded by the modal loop ending).
    void Join() {
        if (m_Thread.joinable()) m_Thread.join();
    }
    bool done() const { return m_bDone; }
    intptr_t result() const { return m_nResult; }

private:
    std::shared_ptr<qnui::HeadlessBackend> m_pUi;
    std::thread m_Thread;
    std::atomic<bool> m_bDone{false};
    std::atomic<intptr_t> m_nResult{0};
};

}  // namespace qn::test
