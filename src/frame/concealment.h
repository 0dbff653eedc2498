#pragma once
#include <cstdint>

// Repairs isolated spikes in a 16-bit frame flagged by the drive: source is the frame as
// read, target the PCM copy that is stored; n is the frame's PCM byte count.
void conceal_errors(const uint8_t* source, uint8_t* target, int n, int error_flags);

// The channels a frame's error flags name as damaged (the ones conceal_errors repairs):
// kDamagedLeft, kDamagedRight, both, or 0 for an undamaged frame.
constexpr int kDamagedLeft = 1;
constexpr int kDamagedRight = 2;
int damaged_channels(int error_flags);
