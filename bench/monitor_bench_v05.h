// The J2534 monitor library's call overhead in a 05.00 session (a copy
// registered under PassThruSupport.05.00 in front of the 05.00 stand-in).
#pragma once

#include "tests/monitor_fixture.h"

namespace varrow::bench {

// Rows of the figures table for 05.00: ReadMsgs, QueueMsgs and Select, back to
// back, `calls` each, with full logging (XML, entry and exit).
void RunFiguresV05(const test::ScratchDir& dir, const test::RedirectedRegistry& reg, int calls);

}  // namespace varrow::bench
