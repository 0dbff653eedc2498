#include "driver/run_sequence.h"

#include <cstdio>
#include <cstdlib>

#include "driver/command_line.h"
#include "frame/long_play.h"
#include "jobs/frame_source.h"
#include "jobs/job_console.h"
#include "jobs/jobs.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/keyboard.h"
#include "scsi/aspi_transport.h"
#include "scsi/drive_setup.h"

namespace {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_MISSING_PARAMETERS = 1,
    EXIT_BAD_COMMAND_LINE = 2,
    EXIT_NO_ASPI = 3,
    EXIT_DRIVE_NOT_READY = 4,
    EXIT_JOB_ENDED_EARLY = 5,
    EXIT_JOB_FAILED = 6,
    EXIT_NO_MEMORY = 8,
};

constexpr uint32_t kSettleMs = 2000;

void print_banner() {
    printf("TERVANO DAT audio transfer, version 1.2\n");
    printf("MPEG audio analysis and decoding by libmpg123\n\n");
}

// Exactly one job: the first mode in dispatch order.
int run_job(JobState* job, ParamBlock* params, FrameSource* source) {
    if (job->mode_tape_to_wav) return tape_to_wav(job, params, source);
    if (job->mode_wav_to_tape) return wav_to_dat(job);
    if (job->mode_tape_to_image) return dat_to_img(job, source);
    if (job->mode_image_to_tape) return img_to_dat(job);
    return dat_to_dat(job, source);
}

// A job returns 0 when it ran to its end, kJobEndedEarly when it started but ended on an
// error (what it transferred before stays valid), anything else when it could not start.
// A job that a signal ended in order exits as the shell reports a process the signal
// killed, so a script can tell an interrupted transfer from a finished one.
int exit_code_of_job(int job_result, int stop_signal) {
    if (job_result != 0 && job_result != kJobEndedEarly) return EXIT_JOB_FAILED;
    if (stop_signal != 0) return 128 + stop_signal;
    return job_result == 0 ? EXIT_OK : EXIT_JOB_ENDED_EARLY;
}

// Loads the provider and prepares, rewinds and settles the drives the command line names:
// EXIT_OK or the exit code of the failure. An image read in place of the input drive
// needs none of this, and a run with no drive at all never loads a provider.
int prepare_drives(JobState* job) {
    if (!job->input_id_given && !job->output_id_given) return EXIT_OK;
    if (load_ASPI() <= 0) {
        printf("No ASPI drivers found\n");
        return EXIT_NO_ASPI;
    }
    if (configure_drives(job) != 0) {
        printf("Drive didn't initialize\n");
        return EXIT_DRIVE_NOT_READY;
    }
    rewind_drives(job);
    platform_sleep_ms(kSettleMs);
    return EXIT_OK;
}

// Steps 6 to 14 of the run, with the input open.
int run_with_input(JobState* job, ParamBlock* params, FrameSource* source) {
    if (check_job_output(job) != 0) return EXIT_JOB_FAILED;
    const int prepared = prepare_drives(job);
    if (prepared != EXIT_OK) return prepared;
    if (job->seek && frame_source_seek(source) != 0) printf("Drive didn't complete seek\n");
    build_lp_tables();

    // An image is read faster than a terminal can show a line per frame.
    status_line_limit(frame_source_is_image(source) && console_is_terminal());
    keyboard_begin();
    int job_result = run_job(job, params, source);
    const int stop_signal = keyboard_stop_signal();
    keyboard_end();

    close_drives(job);
    return exit_code_of_job(job_result, stop_signal);
}

// Steps 4 to 14 of the run; the caller owns the records and unloads ASPI. An input image
// that cannot be read ends the run before anything is written.
int run_with_records(int argc, char** argv, JobState* job, ParamBlock* params) {
    if (argc < 3) {
        printf("Missing command line parameters....\n");
        return EXIT_MISSING_PARAMETERS;
    }
    if (parse_command_line(argc, argv, job) != 0) {
        printf("Problem parsing command line\n");
        return EXIT_BAD_COMMAND_LINE;
    }
    FrameSource source;
    if (frame_source_open(&source, job) != 0) return EXIT_JOB_FAILED;
    const int code = run_with_input(job, params, &source);
    frame_source_close(&source);
    return code;
}

}  // namespace

int run_tervano(int argc, char** argv) {
    // Step lines without a line end ("waiting ... for tape to mount...") and the status
    // line rewritten per frame must show at once on a terminal.
    console_unbuffer_if_terminal();
    auto* job = static_cast<JobState*>(calloc(1, sizeof(JobState)));
    if (!job) {
        printf("MAIN-dat memory alloc failed\n");
        return EXIT_NO_MEMORY;
    }
    auto* params = static_cast<ParamBlock*>(calloc(1, sizeof(ParamBlock)));
    if (!params) {
        printf("MAIN-PAR Memory alloc failed\n");
        free(job);
        return EXIT_NO_MEMORY;
    }
    print_banner();
    int code = run_with_records(argc, argv, job, params);
    unload_ASPI();
    free(params);
    free(job);
    fflush(stdout);
    return code;
}
