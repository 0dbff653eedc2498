// Error concealment for 16-bit frames the drive flags as damaged. The damage shows as
// isolated spikes in every second sample of a channel; which half (odd or even pairs) is
// told by the pattern of spikes, and only the spikes of that half take their neighbours' mean.

#include "frame/concealment.h"

#include "frame/audio_frame.h"

namespace {

constexpr int kSpikeThreshold = 500;
constexpr int kLeft = 0;   // word offset of the left sample in a pair, in samples
constexpr int kRight = 1;  // word offset of the right sample

struct SpikeCounts {
    int odd = 0;
    int even = 0;
    int small = 0;  // spikes whose own value is within the threshold of zero
};

int16_t read_le16(const uint8_t* p) {
    return int16_t(uint16_t(p[0] | (p[1] << 8)));
}

void write_le16(uint8_t* p, int value) {
    p[0] = uint8_t(value & 0xFF);
    p[1] = uint8_t((value >> 8) & 0xFF);
}

int sample_at(const uint8_t* pcm, int pair, int channel) {
    return read_le16(pcm + 4 * pair + 2 * channel);
}

// Asked to inline: as a call it costs half the time of a frame.
inline bool is_spike(const uint8_t* source, int pair, int channel) {
    const int before = sample_at(source, pair - 1, channel);
    const int centre = sample_at(source, pair, channel);
    const int after = sample_at(source, pair + 1, channel);
    const int d1 = centre - before;
    const int d2 = after - centre;
    return (d1 < -kSpikeThreshold && d2 > kSpikeThreshold) ||
           (d1 > kSpikeThreshold && d2 < -kSpikeThreshold);
}

void count_spike(SpikeCounts* counts, int pair, int value) {
    if (pair % 2 != 0) {
        ++counts->odd;
    } else {
        ++counts->even;
    }
    if (value > -kSpikeThreshold && value < kSpikeThreshold) ++counts->small;
}

// Returns 1 for the odd pairs, 2 for the even ones: the first centre of the class.
int choose_class(const SpikeCounts& c) {
    const bool odd = c.small == c.odd || (c.small != c.even && c.odd > c.even);
    return odd ? 1 : 2;
}

void repair_channel(const uint8_t* source, uint8_t* target, int channel, int first_centre,
                    int last_centre) {
    for (int m = first_centre; m <= last_centre; m += 2) {
        if (!is_spike(source, m, channel)) continue;
        const int mean =
            (sample_at(source, m - 1, channel) + sample_at(source, m + 1, channel)) / 2;
        write_le16(target + 4 * m + 2 * channel, mean);
    }
}

struct ChannelChoice {
    int flags;
    bool left;
    bool right;
};

// Flag values that single out one channel; every other value repairs both.
constexpr ChannelChoice kOneChannelFlags[] = {
    {0x20, false, true}, {0x21, true, false}, {0x22, false, true},
    {0x40, true, false}, {0x48, true, false},
};

ChannelChoice channels_to_repair(int error_flags) {
    for (const ChannelChoice& choice : kOneChannelFlags) {
        if (choice.flags == error_flags) return choice;
    }
    return {error_flags, true, true};
}

}  // namespace

int damaged_channels(int error_flags) {
    if (error_flags == 0) return 0;
    const ChannelChoice choice = channels_to_repair(error_flags);
    return (choice.left ? kDamagedLeft : 0) | (choice.right ? kDamagedRight : 0);
}

void conceal_errors(const uint8_t* source, uint8_t* target, int n, int error_flags) {
    if (source == nullptr || target == nullptr) return;
    // No frame yields more than its audio area; a larger count is not a frame's.
    if (n < 0 || n > kAudioAreaBytes) return;
    // Only whole pairs; the first pair and the last two are never centres.
    const int last_centre = n / 4 - 3;
    if (last_centre < 1) return;

    SpikeCounts left;
    SpikeCounts right;
    for (int m = 1; m <= last_centre; ++m) {
        if (is_spike(source, m, kLeft)) {
            count_spike(&left, m, sample_at(source, m, kLeft));
        } else if (is_spike(source, m, kRight)) {
            count_spike(&right, m, sample_at(source, m, kRight));
        }
    }
    // Detection never looks at the target, so repairs cannot feed later decisions.
    const ChannelChoice channels = channels_to_repair(error_flags);
    if (channels.right) repair_channel(source, target, kRight, choose_class(right), last_centre);
    if (channels.left) repair_channel(source, target, kLeft, choose_class(left), last_centre);
}
