#pragma once
// vdat: an ASPI provider that emulates audio-capable DDS drives in user space.
//
// The bay is read from the profile file named by VDAT_CONFIG on the first call of
// either entry point. Every SC_EXEC_SCSI_CMD request appends one line to the file named
// by VDAT_TRACE:
//
//   0:4:0 08 00 00 16 be 00 in 5822 -> 01 00 00 00
//
// address, CDB bytes, direction (in, out, none), data length, then SRB_Status, sense
// byte 2, ASC and ASCQ; a request that will never complete (hang_at) shows status 00
// (pending) and no sense. A drive with latency_ms > 0 completes its requests on a worker
// thread after that delay; the others complete before SendASPI32Command returns. Either
// way the request's event is signalled after its status is set.

#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) uint32_t GetASPI32SupportInfo(void);
__attribute__((visibility("default"))) uint32_t SendASPI32Command(void* srb);
}

// Completes what is queued, saves every drive's state and forgets the bay, so that the
// next call reads VDAT_CONFIG again as a new process would. Runs at unload and exit.
void vdat_shutdown();
