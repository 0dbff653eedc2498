// A library that answers the support query but lacks SendASPI32Command: not a provider.

#include <cstdint>

extern "C" uint32_t GetASPI32SupportInfo() {
    return 0x0101u;
}
