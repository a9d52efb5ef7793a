// Hooks that tests use to steer the download library. Compiled in always; never part of a
// public interface.
#pragma once

#include <cstdint>
#include <vector>

class PieceMap;

namespace qn::testing {
// Replaces the in-memory piece states of an open map (one byte per piece) and recounts the
// complete pieces, without touching the progress file.
void SetPieceStates(PieceMap* pMap, const std::vector<uint8_t>& states);
}  // namespace qn::testing
