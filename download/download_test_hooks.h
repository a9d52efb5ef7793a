// Hooks that tests use to steer the download library. Compiled in always; never part of a
// public interface.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class PieceMap;

namespace qn::testing {
// Replaces the in-memory piece states of an open map (one byte per piece) and recounts the
// complete pieces, without touching the progress file.
void SetPieceStates(PieceMap* pMap, const std::vector<uint8_t>& states);

// Handles of the event loop released so far, in every loop of the process.
uint64_t LoopHandleReleaseCount();

// Download reports handed to the HTTP service so far, by every session of the process.
uint64_t ReportPostCount();

// Starts the library's global core parts (event loop, connection cache, speed limiter module,
// name resolver) and stops them in the reverse order, as the library's entry points do.
// CoreStart is false when the loop does not start (nothing is then left running). Both may
// run again in one process; CoreStop while stopped does nothing.
bool CoreStart();
void CoreStop();

// The library logger's module: a path that replaces the search (null restores it), and an
// unload so that the next load runs again.
void SetLoggerModulePath(const char* path);
void ResetLoggerForTest();
// An in-process sink for the library logger's lines (category, level, formatted UTF-8 text),
// used in place of the module while set; an empty function removes it.
using LogSink = std::function<void(const std::string& category, int level, const std::string& text)>;
void SetLogSink(LogSink sink);
}  // namespace qn::testing

namespace qn::testing {
// The inactivity limit of the session's requests, in seconds (120 unless a test shortens it).
uint32_t PieceRequestTimeoutSeconds();
void SetPieceRequestTimeoutSeconds(uint32_t uSeconds);
// Makes step n of the library's start fail (1 network start, 2 socket probe, 3 event loop,
// 4 download service, 5 HTTP service); 0 fails nothing.
bool FailInitAt(int nStep);
void SetInitFailPoint(int nStep);
}  // namespace qn::testing
