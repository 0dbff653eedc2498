// 32 kHz long play: 12-bit non-linear codes, three bytes a stereo pair, scattered over
// the 5760-byte audio area in the order the drive's track layout gives them.
//
// Byte layout of long-play pair i (L and R are 12-bit two's-complement codes):
//   audio[lp_interleave[3i]]     = L bits 11-4
//   audio[lp_interleave[3i + 1]] = L bits 3-0 (high nibble), R bits 3-0 (low nibble)
//   audio[lp_interleave[3i + 2]] = R bits 11-4

#include "frame/long_play.h"

#include "frame/audio_frame.h"

uint16_t lp_interleave[5760];
uint16_t lp_compress_table[65536];

namespace {

constexpr int kLpPairs = 1920;
constexpr int kGridPlaces = 8192;  // 256 blocks of 32 places
constexpr uint16_t kGridEmpty = 0xFFFF;
constexpr int kHalfArea = kAudioAreaBytes / 2;  // 2880 long-play bytes, 960 pairs

bool lp_tables_built = false;

// 16-bit sample of every 12-bit code in its unsigned form: one lookup per decoded sample.
int16_t lp_expand_table[4096];

// Grid address of byte k of the audio area, numbered as a 16-bit frame uses it.
int pcm_byte_address(int k) {
    const int a = k / 4;        // stereo pair
    const int h = (k / 2) % 2;  // 0 left word, 1 right word
    const int l = k % 2;        // 0 low byte, 1 high byte
    const int block = (a % 52) + (a / 832) + 75 * (a % 2) + 128 * h;
    const int place = 2 * ((a / 52) - 16 * (a / 832) - l) + 2 - ((a / 52) % 2);
    return 32 * block + place;
}

// Grid address of long-play byte m (byte m mod 3 of long-play pair m div 3).
int lp_byte_address(int m) {
    const int s = m / 3;
    const int w = 3 * (s / 2) + (m % 3);
    const int x = (s % 2) + 2 * ((w / 2) - 720 * (s / 960));
    const int block = (x % 52) + (x / 832) + 75 * (x % 2) + 128 * ((x + (s / 960)) % 2);
    const int place = 2 * ((x / 52) - 16 * (x / 832) + (w % 2)) - ((x / 52) % 2);
    return 32 * block + place;
}

// Every odd-numbered long-play pair trades places with the pair 960 further on or back.
int exchange_pairs(int n) {
    if (n % 6 < 3) return n;
    return n < kHalfArea ? n + kHalfArea : n - kHalfArea;
}

void build_interleave() {
    uint16_t grid[kGridPlaces];
    for (uint16_t& place : grid) place = kGridEmpty;
    for (int k = 0; k < kAudioAreaBytes; ++k) grid[pcm_byte_address(k)] = uint16_t(k);
    for (int n = 0; n < kAudioAreaBytes; ++n) {
        lp_interleave[n] = grid[lp_byte_address(exchange_pairs(n))];
    }
}

int16_t expand_code(int code) {
    // Only the low 12 bits count, so signed codes and their unsigned 12-bit form agree.
    const int q = ((code & 0xFFF) ^ 0x800) - 0x800;
    const int magnitude = q < 0 ? -q : q;  // 0 ... 2048
    // Segment s >= 1 covers magnitudes 256(s+1) ... 256(s+2)-1 with step 2^s.
    int segment = (magnitude >> 8) - 1;
    if (segment < 0) segment = 0;
    const int value = (magnitude - 256 * segment) << segment;  // -2048 gives 32768
    return int16_t(q < 0 ? -value : value);
}

void build_expand_table() {
    for (int code = 0; code < 4096; ++code) lp_expand_table[code] = expand_code(code);
}

void build_compress_table() {
    for (int k = 0; k < 65536; ++k) {
        const int sample = k <= 32767 ? k : k - 65536;
        lp_compress_table[k] = uint16_t(lp_compress(sample) & 0xFFF);
    }
}

// The run sequence builds the tables before any job; a conversion called earlier builds
// them itself rather than scattering every byte to position 0.
void ensure_lp_tables() {
    if (!lp_tables_built) build_lp_tables();
}

void write_le16(uint8_t* p, int value) {
    p[0] = uint8_t(value & 0xFF);
    p[1] = uint8_t((value >> 8) & 0xFF);
}

uint16_t compress_le16(const uint8_t* p) {
    return lp_compress_table[p[0] | (p[1] << 8)];
}

}  // namespace

void build_lp_tables() {
    build_interleave();
    build_expand_table();
    build_compress_table();
    lp_tables_built = true;
}

int16_t lp_expand(int code) {
    return expand_code(code);
}

int lp_compress(int sample) {
    if (sample > 32767) sample = 32767;
    if (sample < -32768) sample = -32768;
    // Negative samples take the one's complement of the code of their one's complement.
    if (sample < -512) return -1 - lp_compress(-1 - sample);
    if (sample < 512) return sample;
    if (sample < 1024) return sample / 2 + 256;
    if (sample < 2048) return sample / 4 + 512;
    if (sample < 4096) return sample / 8 + 768;
    if (sample < 8192) return sample / 16 + 1024;
    if (sample < 16384) return sample / 32 + 1280;
    return sample / 64 + 1536;
}

int decode_lp_frame(uint8_t* pcm_out, const uint8_t* audio_area) {
    ensure_lp_tables();
    for (int i = 0; i < kLpPairs; ++i) {
        const int b0 = audio_area[lp_interleave[3 * i]];
        const int b1 = audio_area[lp_interleave[3 * i + 1]];
        const int b2 = audio_area[lp_interleave[3 * i + 2]];
        const int left = (b0 << 4) | (b1 >> 4);  // unsigned 12-bit codes
        const int right = (b2 << 4) | (b1 & 0x0F);
        write_le16(pcm_out + 4 * i, lp_expand_table[left]);
        write_le16(pcm_out + 4 * i + 2, lp_expand_table[right]);
    }
    return kLongPlayPcmBytes;
}

int encode_lp_frame(uint8_t* audio_area, const uint8_t* pcm_in) {
    ensure_lp_tables();
    for (int i = 0; i < kLpPairs; ++i) {
        const int left = compress_le16(pcm_in + 4 * i);
        const int right = compress_le16(pcm_in + 4 * i + 2);
        audio_area[lp_interleave[3 * i]] = uint8_t(left >> 4);
        audio_area[lp_interleave[3 * i + 1]] = uint8_t(((left & 0x0F) << 4) | (right & 0x0F));
        audio_area[lp_interleave[3 * i + 2]] = uint8_t(right >> 4);
    }
    return kAudioAreaBytes;
}
