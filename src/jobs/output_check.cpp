#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "jobs/jobs.h"
#include "platform/files.h"
#include "platform/positional_file.h"

namespace {

std::string folder_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

std::string name_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "<name><n>.wav" with n written as the job numbers its tracks: no leading zero.
bool is_track_file(const std::string& name, const std::string& stem) {
    const std::string suffix = ".wav";
    if (name.size() <= stem.size() + suffix.size() || name.compare(0, stem.size(), stem) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string number = name.substr(stem.size(), name.size() - stem.size() - suffix.size());
    return number[0] != '0' && number.find_first_not_of("0123456789") == std::string::npos;
}

// The WAV files of an extraction that exist now: the job overwrites them.
void add_track_files(const std::string& base, std::vector<std::string>* paths) {
    const std::string folder = folder_of(base);
    std::vector<std::string> names;
    folder_names(folder.c_str(), &names);
    for (const std::string& name : names) {
        if (is_track_file(name, name_of(base))) {
            paths->push_back(folder == "." ? name : folder + name);
        }
    }
}

void add_records(const std::string& base, std::vector<std::string>* paths) {
    for (const char* suffix : {".report.txt", ".md5", ".timeline.svg"}) {
        paths->push_back(base + suffix);
    }
}

// The files the job that will run writes, as far as they are known before it starts.
std::vector<std::string> job_outputs(const JobState* job) {
    std::vector<std::string> paths;
    const std::string base = job->file_name;
    if (job->mode_tape_to_wav && job->wave_out) {
        paths.push_back("log.txt");  // the playback layer's diagnostics, appended
    } else if (job->mode_tape_to_wav) {
        add_track_files(base, &paths);
        add_records(base, &paths);
    } else if (!job->mode_wav_to_tape && job->mode_tape_to_image) {
        paths.push_back(base + ".img");
        add_records(base, &paths);
    }
    return paths;
}

// By device and inode, so that no other name of the image (a second link, a symbolic
// link, another path to its folder) lets the job truncate it.
int check_not_input_image(const JobState* job) {
    FileIdentity input{};
    if (!job->input_image_given || platform_path_identify(job->input_image, &input) != 0) return 0;
    for (const std::string& path : job_outputs(job)) {
        FileIdentity output{};
        if (platform_path_identify(path.c_str(), &output) == 0 && output.device == input.device &&
            output.inode == input.inode) {
            printf("%s is the input image %s: it would be overwritten\n", path.c_str(),
                   job->input_image);
            return 1;
        }
    }
    return 0;
}

}  // namespace

// Run before any drive is touched: a job whose files cannot be written must not move a
// tape that may not survive many passes, nor overwrite the image it reads.
int check_job_output(const JobState* job) {
    if (check_not_input_image(job) != 0) return 1;
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
    printf("Cannot write to the folder %s: %s\n", folder_of(path).c_str(), strerror(error));
    return 1;
}
