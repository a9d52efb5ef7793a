#include <atomic>

#include "download_test_hooks.h"

namespace {
std::atomic<uint32_t> g_uPieceTimeout{120};
std::atomic<int> g_nInitFailPoint{0};
}  // namespace

namespace qn::testing {
uint32_t PieceRequestTimeoutSeconds() { return g_uPieceTimeout.load(std::memory_order_relaxed); }
void SetPieceRequestTimeoutSeconds(uint32_t uSeconds) { g_uPieceTimeout.store(uSeconds, std::memory_order_relaxed); }
bool FailInitAt(int nStep) { return nStep != 0 && g_nInitFailPoint.load(std::memory_order_relaxed) == nStep; }
void SetInitFailPoint(int nStep) { g_nInitFailPoint.store(nStep, std::memory_order_relaxed); }
}  // namespace qn::testing
