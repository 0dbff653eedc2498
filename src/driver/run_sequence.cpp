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

// A stop signal before the job ends the run in order: the drives switched to audio mode
// so far are released, and the exit code is the one the signal would have given.
bool stopped_before_job(JobState* job, int* code) {
    const int stop_signal = keyboard_stop_requested();
    if (stop_signal == 0) return false;
    printf("\nStopped by %s before the job began\n", keyboard_signal_name(stop_signal));
    close_drives(job);
    *code = 128 + stop_signal;
    return true;
}

// Loads the provider and prepares, rewinds and settles the drives the command line names:
// EXIT_OK or the exit code that ends the run. An image read in place of the input drive
// needs none of this, and a run with no drive at all never loads a provider.
int prepare_drives(JobState* job) {
    if (!job->input_id_given && !job->output_id_given) return EXIT_OK;
    if (load_ASPI() <= 0) {
        printf("No ASPI drivers found\n");
        return EXIT_NO_ASPI;
    }
    const int configured = configure_drives(job);
    int code = EXIT_OK;
    if (configured != CONFIGURE_OK && configured != CONFIGURE_STOPPED) {
        printf("Drive didn't initialize\n");
        return EXIT_DRIVE_NOT_READY;
    }
    if (stopped_before_job(job, &code)) return code;
    rewind_drives(job);
    if (!stopped_before_job(job, &code)) platform_sleep_ms(kSettleMs);
    return code;
}

// Steps 7 to 14 of the run, with the input open and the stop signals taken.
int run_prepared_job(JobState* job, ParamBlock* params, FrameSource* source) {
    int code = prepare_drives(job);
    if (code != EXIT_OK) return code;
    if (job->seek && frame_source_seek(source) != 0 && !keyboard_stop_requested()) {
        printf("Drive didn't complete seek\n");
    }
    if (stopped_before_job(job, &code)) return code;
    build_lp_tables();

    // An image is read faster than a terminal can show a line per frame.
    status_line_limit(frame_source_is_image(source) && console_is_terminal());
    int job_result = run_job(job, params, source);
    const int stop_signal = keyboard_stop_signal();
    close_drives(job);
    return exit_code_of_job(job_result, stop_signal);
}

// Steps 6 to 14 of the run. From the drive preparation on, Ctrl-C, SIGTERM and SIGHUP stop
// the run in order, and the terminal is put back on every way out.
int run_with_input(JobState* job, ParamBlock* params, FrameSource* source) {
    if (check_job_output(job) != 0) return EXIT_JOB_FAILED;
    keyboard_begin();
    const int code = run_prepared_job(job, params, source);
    keyboard_end();
    return code;
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
    console_fill_closed_descriptors();
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
