#pragma once
#include <cstdint>

#include "driver/job_state.h"

constexpr int kMaxWaveBuffers = 64;
constexpr uint32_t kStagingBytes = 150016;

// Set by the caller before wave_out_init.
extern int32_t buffer_count;
extern uint32_t buffer_size;

extern "C" {
int wave_out_init(uint32_t rate);
int wave_out_dataout(const uint8_t* data);
int output_waveout(const uint8_t* bytes, uint32_t length, ParamBlock* params);
int wave_out_wrapup(int no_wait);
int wave_out_restart();
}
