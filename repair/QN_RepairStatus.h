// The status rule that the coordinator and both repairers share. Their three status families
// (QN_RCRSC_, QN_RFSC_, QN_RPS_) have the same values for the phases, the general failure and
// the stop; every value above the stop is a failure of its own family.
#pragma once

#include <atomic>
#include <cstdint>

constexpr int32_t QN_REPAIR_STATUS_CHECKING = 1;
constexpr int32_t QN_REPAIR_STATUS_REPAIRING = 2;
constexpr int32_t QN_REPAIR_STATUS_CHECK_FINISHED = 3;
constexpr int32_t QN_REPAIR_STATUS_REPAIR_FINISHED = 4;
constexpr int32_t QN_REPAIR_STATUS_FAILED = 5;
constexpr int32_t QN_REPAIR_STATUS_STOPPED = 6;

// Raises *pStatus to nTarget where the rule allows it, atomically, and says whether it did:
//  - a stop (6) replaces every other value, and nothing replaces a stop;
//  - the general failure (5) replaces the values below it;
//  - a specific failure (7 and above) replaces the values up to 5, never a stop or another
//    specific failure;
//  - a phase's success (3 or 4) replaces only that phase's running value (1 or 2), so a stop or
//    a failure written meanwhile stays.
// The starts of the phases and the refusals of calls are plain stores of their owners; any
// other target changes nothing.
inline bool QN_RaiseRepairStatus(std::atomic<int32_t>* pStatus, int32_t nTarget) {
    int32_t nCurrent = pStatus->load(std::memory_order_acquire);
    for (;;) {
        bool bReplace = false;
        if (nTarget == QN_REPAIR_STATUS_STOPPED) {
            bReplace = nCurrent != QN_REPAIR_STATUS_STOPPED;
        } else if (nTarget == QN_REPAIR_STATUS_FAILED) {
            bReplace = nCurrent < QN_REPAIR_STATUS_FAILED;
        } else if (nTarget > QN_REPAIR_STATUS_STOPPED) {
            bReplace = nCurrent <= QN_REPAIR_STATUS_FAILED;
        } else if (nTarget == QN_REPAIR_STATUS_CHECK_FINISHED) {
            bReplace = nCurrent == QN_REPAIR_STATUS_CHECKING;
        } else if (nTarget == QN_REPAIR_STATUS_REPAIR_FINISHED) {
            bReplace = nCurrent == QN_REPAIR_STATUS_REPAIRING;
        }
        if (!bReplace) return false;
        if (pStatus->compare_exchange_weak(nCurrent, nTarget, std::memory_order_acq_rel, std::memory_order_acquire))
            return true;
    }
}
