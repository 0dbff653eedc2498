#include <cstdio>
#include <cstring>
#include <string>

#include "jobs/jobs.h"
#include "platform/files.h"

// Run before any drive is touched: a job whose files cannot be written must not move a
// tape that may not survive many passes.
int check_job_output(const JobState* job) {
    std::string path;
    if (job->mode_tape_to_wav) {
        if (job->wave_out) return 0;
        path = job->file_name;
    } else if (job->mode_wav_to_tape) {
        return 0;
    } else if (job->mode_tape_to_image) {
        path = std::string(job->file_name) + ".img";
    } else {
        return 0;
    }
    const int error = folder_writable(path.c_str());
    if (error == 0) return 0;
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    printf("Cannot write to the folder %s: %s\n", folder.c_str(), strerror(error));
    return 1;
}
