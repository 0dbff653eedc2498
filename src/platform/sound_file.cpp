#include "platform/sound_file.h"

#include <sndfile.h>

struct SoundFile {
    SNDFILE* handle;
};

namespace {

struct Depth {
    int subtype;
    int32_t bits;
    SoundCoding coding;
};

// Codings that keep a fixed number of bits; every other one (Vorbis, Opus, MPEG, ADPCM,
// u-law, ...) counts as compressed.
constexpr Depth kDepths[] = {
    {SF_FORMAT_PCM_S8, 8, SOUND_INTEGER},   {SF_FORMAT_PCM_U8, 8, SOUND_INTEGER},
    {SF_FORMAT_PCM_16, 16, SOUND_INTEGER},  {SF_FORMAT_PCM_24, 24, SOUND_INTEGER},
    {SF_FORMAT_PCM_32, 32, SOUND_INTEGER},  {SF_FORMAT_ALAC_16, 16, SOUND_INTEGER},
    {SF_FORMAT_ALAC_20, 20, SOUND_INTEGER}, {SF_FORMAT_ALAC_24, 24, SOUND_INTEGER},
    {SF_FORMAT_ALAC_32, 32, SOUND_INTEGER}, {SF_FORMAT_FLOAT, 32, SOUND_FLOAT},
    {SF_FORMAT_DOUBLE, 64, SOUND_FLOAT},
};

// The library's own name of a coding ("Vorbis", "U-Law", ...).
std::string coding_name(int format) {
    SF_FORMAT_INFO subtype{};
    subtype.format = format & SF_FORMAT_SUBMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &subtype, sizeof subtype) != 0 || !subtype.name) {
        return "compressed";
    }
    return subtype.name;
}

void describe(const SF_INFO& sf, SoundFileInfo* info) {
    info->sample_rate = sf.samplerate;
    info->channels = sf.channels;
    info->frames = sf.frames;
    info->bits = 0;
    info->coding = SOUND_COMPRESSED;
    for (const Depth& depth : kDepths) {
        if ((sf.format & SF_FORMAT_SUBMASK) != depth.subtype) continue;
        info->bits = depth.bits;
        info->coding = depth.coding;
    }
    info->mpeg = (sf.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG;
    if (info->coding == SOUND_COMPRESSED) info->coding_name = coding_name(sf.format);
}

}  // namespace

int sound_file_open(const char* path, SoundFile** file, SoundFileInfo* info, std::string* error) {
    *file = nullptr;
    SF_INFO sf{};
    SNDFILE* handle = sf_open(path, SFM_READ, &sf);
    if (!handle) {
        *error = sf_strerror(nullptr);
        return -1;
    }
    describe(sf, info);
    *file = new SoundFile{handle};
    return 0;
}

int64_t sound_file_read(SoundFile* file, float* out, int64_t frames) {
    sf_count_t got = sf_readf_float(file->handle, out, frames);
    return got > 0 ? got : 0;
}

void sound_file_close(SoundFile* file) {
    if (!file) return;
    sf_close(file->handle);
    delete file;
}
