/* The sizes the scan reads in, written so that C programs may include them
 * too: the bench's floors read as the program does. */
#pragma once

/* The block each of the scan's readers reads into: small enough to stay in
 * the processor's second-level cache between the copy and the check, large
 * enough that the calls cost little. */
enum { scan_block_bytes = 512 << 10 };

/* The first read of a source, and the first bytes of the run's buffer, which
 * are mapped in small pages: most files that hold data show it in their first
 * bytes, and a short run should touch and copy no more than it needs. The
 * reads grow fourfold from there to the block. */
enum { first_read_bytes = 64 << 10 };
