// A minimal ASPI provider for the loading tests. The support query answers what
// TEST_PROVIDER_SUPPORT holds (hexadecimal; default one adapter, SS_COMP); every command
// completes at once, fills a data-in buffer with 0xA5 and signals its event.

#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>

#include "platform/aspi_srb.h"

extern "C" uint32_t GetASPI32SupportInfo() {
    const char* text = getenv("TEST_PROVIDER_SUPPORT");
    return text ? static_cast<uint32_t>(strtoul(text, nullptr, 16)) : 0x0101u;
}

extern "C" uint32_t SendASPI32Command(void* request) {
    auto* srb = static_cast<SRB_ExecSCSICmd*>(request);
    if ((srb->SRB_Flags & SRB_DIR_IN) && srb->SRB_BufPointer) {
        memset(srb->SRB_BufPointer, 0xA5, srb->SRB_BufLen);
    }
    srb->SRB_Status = SS_COMP;
    eventfd_write(aspi_postproc_to_event(srb->SRB_PostProc), 1);
    return SS_COMP;
}
