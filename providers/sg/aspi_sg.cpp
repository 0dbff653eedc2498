// libaspi_sg.so: the ASPI provider for real drives on Linux. It exports exactly the two
// ASPI entry points, with C linkage; everything else stays hidden.

#include <mutex>

#include "platform/aspi_srb.h"
#include "sg/sg_provider.h"

#define ASPI_EXPORT __attribute__((visibility("default")))

namespace {

// The module's one provider; the devices it opened are closed when the library goes.
struct ModuleProvider {
    SgProvider provider;
    ModuleProvider() { sg_provider_init(&provider, sg_real_system(), kSgSysfsDevices, stderr); }
    ~ModuleProvider() { sg_provider_close(&provider); }
};

std::mutex g_lock;
ModuleProvider g_module;

}  // namespace

extern "C" ASPI_EXPORT uint32_t GetASPI32SupportInfo(void) {
    std::lock_guard<std::mutex> hold(g_lock);
    return sg_support_info(&g_module.provider);
}

extern "C" ASPI_EXPORT uint32_t SendASPI32Command(void* srb) {
    std::lock_guard<std::mutex> hold(g_lock);
    return sg_send_command(&g_module.provider, srb);
}

static_assert(sizeof(&GetASPI32SupportInfo) == sizeof(GetASPI32SupportInfoFn));
