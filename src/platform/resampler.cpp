#include "platform/resampler.h"

#include <soxr.h>

struct Resampler {
    soxr_t handle;
};

int resampler_create(double in_rate, double out_rate, int channels, Resampler** resampler,
                     const char** error) {
    *resampler = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
    soxr_error_t failed = nullptr;
    soxr_t handle =
        soxr_create(in_rate, out_rate, unsigned(channels), &failed, &io, &quality, nullptr);
    if (failed) {
        *error = failed;
        soxr_delete(handle);
        return -1;
    }
    *resampler = new Resampler{handle};
    return 0;
}

int resampler_process(Resampler* resampler, const float* in, size_t in_frames, size_t* consumed,
                      float* out, size_t out_frames, size_t* produced, const char** error) {
    *consumed = 0;
    *produced = 0;
    soxr_error_t failed = soxr_process(resampler->handle, in, in ? in_frames : 0, consumed, out,
                                       out_frames, produced);
    if (failed) {
        *error = failed;
        return -1;
    }
    return 0;
}

void resampler_delete(Resampler* resampler) {
    if (!resampler) return;
    soxr_delete(resampler->handle);
    delete resampler;
}
