// The status rule that the coordinator and both repairers share. Their three status families
// (QN_RCRSC_, QN_RFSC_, QN_RPS_) have the same values for the phases, the general failure and
// the stop; every value above the stop is a failure of its own family.
#pragma once

#include <atomic>
#include <cstdint>

#include "QN_Thread.h"

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
// The starts of the phases are QN_StartRepairPhase below; the refusals of calls are plain stores
// of their owners; any other target changes nothing.
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

// How QN_StartRepairPhase ended; the owner logs a refusal or a worker that did not start in its
// own words.
enum class QN_REPAIR_PHASE_START { STARTED, REFUSED, NOT_CREATED };

// Starts a phase (nRunning: checking or repairing) of the coordinator or of a repairer on its
// worker thread:
//  - the repair starts only from a finished check, moving 3 to 2 with one compare-and-swap, so a
//    stop or a failure written meanwhile is never overwritten; the check starts in any status;
//  - the phase's progress (pProgress; nullptr when the owner keeps none) starts again at 0 before
//    the status shows the phase as running, so no one who sees it running sees the previous
//    phase's 1.0 and then a lower value;
//  - a worker still held is waited for first; a check it was running may end with its own
//    status, so the new check shows "checking" again once it has ended;
//  - a refusal or a worker that does not start leaves the general failure (5).
inline QN_REPAIR_PHASE_START QN_StartRepairPhase(std::atomic<int32_t>* pStatus, int32_t nRunning,
                                                 std::atomic<float>* pProgress, QN_Thread* pWorker,
                                                 QN_Thread::QN_THREAD_FUNCTION pfnWorker, void* pvArgument) {
    if (nRunning == QN_REPAIR_STATUS_REPAIRING) {
        int32_t nExpected = QN_REPAIR_STATUS_CHECK_FINISHED;
        if (pProgress && pStatus->load() == QN_REPAIR_STATUS_CHECK_FINISHED) pProgress->store(0.0f);
        if (!pStatus->compare_exchange_strong(nExpected, QN_REPAIR_STATUS_REPAIRING)) {
            pStatus->store(QN_REPAIR_STATUS_FAILED);
            return QN_REPAIR_PHASE_START::REFUSED;
        }
        pWorker->Wait();
    } else {
        if (pProgress) pProgress->store(0.0f);
        pStatus->store(nRunning);
        pWorker->Wait();
        pStatus->store(nRunning);
    }
    if (!pWorker->Create(pfnWorker, pvArgument)) {
        pStatus->store(QN_REPAIR_STATUS_FAILED);
        return QN_REPAIR_PHASE_START::NOT_CREATED;
    }
    return QN_REPAIR_PHASE_START::STARTED;
}
