#pragma once
// Hands out a stream of 16-bit stereo PCM in exactly the portions a caller asks for,
// whatever size of pieces the file yields (a block of converted WAV samples, one decoded
// MPEG frame): n bytes per call while the stream lasts, then the remainder, then 0, no
// byte lost or repeated. What a piece holds beyond a request waits here for the next one.
// One stream at a time: the queue is a single module-wide instance.

#include <cstdint>

// The largest piece a source may hand over.
constexpr int32_t kPcmPieceBytes = 8192;

// Gives the next piece of the stream (1 to kPcmPieceBytes bytes); false at its end. The
// bytes stay valid until the next call.
using PcmSource = bool (*)(const uint8_t** piece, int32_t* length);

// Empties the queue, for a new stream.
void pcm_queue_reset();

// Fills out with n bytes (fewer only when the source has ended) and returns the count.
int32_t pcm_queue_take(uint8_t* out, int32_t n, PcmSource source);
