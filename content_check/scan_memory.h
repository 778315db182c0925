// The run's memory for the scan: how many readers it starts and the blocks
// they read into, had from the system before the result file is cut.
#pragma once

#include "machine.h"
#include "scan.h"

// A block for each reader, one more than the processors the process may use
// when it may use several (up to most_readers), fewer or smaller blocks when
// the system has not that much to give, none at all when it has nothing. Had
// before the result file is cut, so that nothing after that can fail for want
// of memory.
platform::ScanBuffer scan_buffer();

// The scan with the run's memory, a reader for each block; a read error when
// there is none.
ScanResult scan_for_nonzero(ByteSource& input, const platform::ScanBuffer& buffer,
                            ScanProgress* progress = nullptr);

// The same with memory of its own, had as scan_buffer has it.
ScanResult scan_for_nonzero(ByteSource& input, ScanProgress* progress = nullptr);
