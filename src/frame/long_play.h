#pragma once
#include <cstdint>

// 32 kHz long play: 1920 stereo pairs of 12-bit non-linear codes in the 5760-byte audio
// area, three bytes a pair, scattered by the interleave table.

void build_lp_tables();
int16_t lp_expand(int code);  // 12-bit code (signed, or unsigned 2048-4095) -> sample
int lp_compress(int sample);  // 16-bit sample -> signed 12-bit code
int decode_lp_frame(uint8_t* pcm_out, const uint8_t* audio_area);  // returns 7680
int encode_lp_frame(uint8_t* audio_area, const uint8_t* pcm_in);   // returns 5760

// The tables, read-only after build_lp_tables (exposed for tests).
extern uint16_t lp_interleave[5760];
extern uint16_t lp_compress_table[65536];
