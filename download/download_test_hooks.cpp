#include "download_test_hooks.h"

#include <mutex>

#include "PieceMap.h"
#include "KDownloadCore.h"

bool qn::testing::CoreStart() { return KDownloadCoreStart(); }

void qn::testing::CoreStop() { KDownloadCoreStop(); }

struct PieceMapStateAccess {
    static void set(PieceMap* pMap, const std::vector<uint8_t>& states) {
        std::lock_guard<std::recursive_mutex> guard(pMap->m_lock);
        for (size_t i = 0; i < states.size() && i < pMap->m_states.size(); ++i) pMap->m_states[i] = states[i];
        pMap->m_extraHolders.assign(pMap->m_states.size(), 0);
        pMap->m_uCompleteCount = 0;
        for (uint8_t b : pMap->m_states) {
            if (PieceMap::isCompleteState(b)) ++pMap->m_uCompleteCount;
        }
        pMap->m_bDirty = true;
    }
};

void qn::testing::SetPieceStates(PieceMap* pMap, const std::vector<uint8_t>& states) {
    PieceMapStateAccess::set(pMap, states);
}
