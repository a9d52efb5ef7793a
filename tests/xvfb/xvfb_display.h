#pragma once

#include <string>

// Why no Xvfb runs for the tests; empty when one does.
const std::string& XvfbStartError();
