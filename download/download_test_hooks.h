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

// Handles of the event loop released so far, in every loop of the process.
uint64_t LoopHandleReleaseCount();

// Starts the library's global core parts (event loop, connection cache, speed limiter module,
// name resolver) and stops them in the reverse order, as the library's entry points do.
// CoreStart is false when the loop does not start (nothing is then left running). Both may
// run again in one process; CoreStop while stopped does nothing.
bool CoreStart();
void CoreStop();
}  // namespace qn::testing
