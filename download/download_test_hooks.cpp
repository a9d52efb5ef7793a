#include "download_test_hooks.h"

#include "event_loop.h"

bool qn::testing::CoreStart() { return EventLoop::instance().start(); }

void qn::testing::CoreStop() { EventLoop::instance().stop(); }
