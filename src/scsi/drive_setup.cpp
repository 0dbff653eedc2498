#include "scsi/drive_setup.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/keyboard.h"
#include "scsi/tape_commands.h"

namespace {

constexpr int kInquiryLength = 255;
constexpr int kVendorOffset = 8;
constexpr int kVendorLength = 8;
constexpr int kProductOffset = 16;
constexpr int kProductLength = 20;         // product identification (16) and revision (4)
constexpr uint32_t kFirstReadyPollMs = 2;  // one TEST UNIT READY and one pause
constexpr uint32_t kMountWaitMs = 60000;
constexpr int kDensityAudio = 0x80;
constexpr int kDensityData = 0x13;
constexpr int kMrsPage = 0x30;
constexpr int kMrsByte = 15;  // fourth byte of the page, after header and descriptor
constexpr uint8_t kMrsOffBit = 0x08;
constexpr int kModeDataLength = 100;

struct DriveTableRow {
    const char* vendor;
    const char* product;  // product identification followed by the revision
    DriveKind kind;
};

// Searched in order to the "NULL" row; the last matching row decides.
const DriveTableRow drive_table[] = {
    {"ARCHIVE", "Python 25601-XXX2.63", DRIVE_PYTHON},
    {"ARCHIVE", "Python 25601-XXX2.75", DRIVE_PYTHON},
    {"ARCHIVE", "Python 01931-XXX5.56", DRIVE_PYTHON},
    {"ARCHIVE", "Python 01931-XXX5.63", DRIVE_PYTHON},
    {"ARCHIVE", "Python 01931-XXX5AC", DRIVE_PYTHON},
    {"ARCHIVE", "Python 25501-XXX", DRIVE_PYTHON},
    {"ARCHIVE", "Python", DRIVE_PYTHON},
    {"SONY", "SDT-9000        1.11", DRIVE_SDT9000},
    {"SONY", "SDT-9000        11.1", DRIVE_SDT9000},
    {"SONY", "SDT-9000        2.12", DRIVE_SDT9000},
    {"SONY", "SDT-9000        12.2", DRIVE_SDT9000},
    {"SONY", "SDT-9000        1.13", DRIVE_SDT9000},
    {"SONY", "SDT-9000        13.1", DRIVE_SDT9000},
    {"SONY", "SDT-9000", DRIVE_SDT9000},
    {"NULL", "NULL", DRIVE_UNKNOWN},
};

// The firmwares whose MRS check can be turned off, compared in upper case.
const char* const kMrsVendor = "ARCHIVE ";
const char* const kMrsProducts[] = {
    "PYTHON 01931-XXX5.56",
    "PYTHON 01931-XXX5.63",
    "PYTHON 01931-XXX5AC",
};

const char* const kDriveKindNames[] = {"unknown", "Archive Python", "Sony SDT-9000"};

bool starts_with(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

void copy_field(char* out, const uint8_t* inquiry, int offset, int length) {
    memcpy(out, inquiry + offset, static_cast<size_t>(length));
    out[length] = '\0';
}

void to_upper(char* text) {
    for (; *text; text++) *text = static_cast<char>(toupper(static_cast<unsigned char>(*text)));
}

// The revision field is blank-padded to four characters: a three-character revision
// such as 5AC arrives as "5AC ".
void trim_trailing_blanks(char* text) {
    size_t length = strlen(text);
    while (length > 0 && text[length - 1] == ' ') text[--length] = '\0';
}

bool supports_mrs_off(const char* vendor, const char* product) {
    char upper_vendor[kVendorLength + 1];
    char upper_product[kProductLength + 1];
    snprintf(upper_vendor, sizeof upper_vendor, "%s", vendor);
    snprintf(upper_product, sizeof upper_product, "%s", product);
    to_upper(upper_vendor);
    to_upper(upper_product);
    trim_trailing_blanks(upper_product);
    if (strcmp(upper_vendor, kMrsVendor) != 0) return false;
    for (const char* listed : kMrsProducts) {
        if (strcmp(upper_product, listed) == 0) return true;
    }
    return false;
}

void print_outcome(bool ok) {
    printf("%s", ok ? "done\n" : "failed, continuing anyway\n");
}

// A drive that leaves a command of a step unanswered: the step line is completed with how
// long the drive was given. True when that happened since `unanswered`, the transport's
// count taken before the step.
bool step_unanswered(int unanswered) {
    if (aspi_unanswered_requests() == unanswered) return false;
    printf("failed: no answer within %u seconds\n", aspi_last_unanswered_timeout_ms() / 1000);
    return true;
}

// Completes a step line: its outcome, or that the drive did not answer. False for the
// latter.
bool finish_step(int unanswered, bool ok) {
    if (step_unanswered(unanswered)) return false;
    print_outcome(ok);
    return true;
}

bool is_ready(ScsiStatus status) {
    return status == kStatusReady;
}

// The mount wait ends early on a stop signal.
int wait_for_tape(const ScsiAddress* a) {
    printf(" - waiting (up to 60 seconds) for tape to mount...");
    const int unanswered = aspi_unanswered_requests();
    bool ready = is_ready(scsi_wait_ready(a->adapter, a->target, a->lun, kFirstReadyPollMs));
    if (!ready && aspi_unanswered_requests() == unanswered) {
        ready = is_ready(scsi_wait_ready(a->adapter, a->target, a->lun, kMountWaitMs));
    }
    if (!ready && keyboard_stop_requested()) {
        printf("stopped\n");
        return CONFIGURE_STOPPED;
    }
    return finish_step(unanswered, ready) ? CONFIGURE_OK : CONFIGURE_NO_ANSWER;
}

int set_density_mode(const ScsiAddress* a, int code) {
    scsi_get_density(a->adapter, a->target, a->lun);
    if (scsi_set_density(a->adapter, a->target, a->lun, code) < 0) {
        printf("Failed to set new density\n");
        return -1;
    }
    scsi_get_density(a->adapter, a->target, a->lun);
    return 0;
}

bool mrs_is_off(const ScsiAddress* a, uint8_t* data) {
    memset(data, 0, kModeDataLength);
    scsi_mode_sense(a->adapter, a->target, a->lun, kMrsPage, data, kModeDataLength);
    return (data[kMrsByte] & kMrsOffBit) != 0;
}

// The inquiry and the drive table: a ConfigureResult, with the drive's strings and kind
// when it is CONFIGURE_OK.
int identify(const ScsiAddress* a, char* vendor, char* product, DriveKind* kind) {
    uint8_t inquiry[kInquiryLength];
    const int unanswered = aspi_unanswered_requests();
    int result = scsi_inquiry(a->adapter, a->target, a->lun, inquiry, sizeof inquiry);
    if (result == kInquiryNoDevice) {
        printf("no device at %d:%d:%d\n", a->adapter, a->target, a->lun);
        return CONFIGURE_NO_DEVICE;
    }
    if (result != 0 && aspi_unanswered_requests() != unanswered) {
        printf("no answer from %d:%d:%d within %u seconds\n", a->adapter, a->target, a->lun,
               aspi_last_unanswered_timeout_ms() / 1000);
        return CONFIGURE_NO_ANSWER;
    }
    if (result != 0) return CONFIGURE_NO_DEVICE;
    copy_field(vendor, inquiry, kVendorOffset, kVendorLength);
    copy_field(product, inquiry, kProductOffset, kProductLength);
    *kind = identify_drive(vendor, product);
    if (*kind == DRIVE_UNKNOWN) {
        printf("drive is unknown\n");
        return CONFIGURE_UNKNOWN;
    }
    printf(" - found drive %s %s\n", vendor, product);
    return CONFIGURE_OK;
}

// Identifies one drive and prepares it: a ConfigureResult. A drive that leaves a command
// unanswered is not usable: preparation ends at that step.
int configure_drive(const ScsiAddress* a, bool mrs_off, int32_t* kind_field, int32_t* audio_field) {
    char vendor[kVendorLength + 1];
    char product[kProductLength + 1];
    DriveKind kind = DRIVE_UNKNOWN;
    int result = identify(a, vendor, product, &kind);
    if (result != CONFIGURE_OK) return result;
    if (kind == DRIVE_SDT9000) *kind_field = 1;

    result = wait_for_tape(a);
    if (result != CONFIGURE_OK) return result;
    printf(" - setting drive in audio mode...");
    *audio_field = 1;
    int unanswered = aspi_unanswered_requests();
    if (!finish_step(unanswered, set_audio_mode(a) >= 0)) return CONFIGURE_NO_ANSWER;
    if (kind == DRIVE_SDT9000) {
        printf(" - issuing a tape load...");
        unanswered = aspi_unanswered_requests();
        if (!finish_step(unanswered, do_load(a->adapter, a->target, a->lun, 1) == 0)) {
            return CONFIGURE_NO_ANSWER;
        }
    }
    if (mrs_off && supports_mrs_off(vendor, product)) turn_off_mrs(a);
    return CONFIGURE_OK;
}

void rewind_drive(const ScsiAddress* a, const char* role) {
    printf(" - rewinding %d:%d %s tape to beginning...", a->adapter, a->target, role);
    print_outcome(scsi_rewind(a->adapter, a->target, a->lun) == 0);
}

// A drive that does not answer the unload is not kept waiting for the data mode too.
void close_drive(const ScsiAddress* a, const char* role, int32_t kind_field, int32_t audio_mode) {
    if (!audio_mode) return;
    printf(" - closing %s drive...\n", role);
    if (kind_field != 1) return;
    printf(" - issuing a tape unload...");
    const int unanswered = aspi_unanswered_requests();
    if (!finish_step(unanswered, do_load(a->adapter, a->target, a->lun, 0) == 0)) return;
    printf(" - setting drive back to data mode...");
    print_outcome(set_data_mode(a) == 0);
}

}  // namespace

const char* drive_kind_name(DriveKind kind) {
    if (kind < DRIVE_UNKNOWN || kind > DRIVE_SDT9000) return "invalid";
    return kDriveKindNames[kind];
}

DriveKind identify_drive(const char* vendor, const char* product) {
    DriveKind found = DRIVE_UNKNOWN;
    for (const DriveTableRow* row = drive_table; strcmp(row->vendor, "NULL") != 0; row++) {
        if (starts_with(vendor, row->vendor) && starts_with(product, row->product)) {
            found = row->kind;
        }
    }
    return found;
}

int configure_drives(JobState* job) {
    job->input_drive_kind = 0;
    job->output_drive_kind = 0;
    job->input_audio_mode = 0;
    job->output_audio_mode = 0;
    const bool mrs_off = job->mrs_off != 0;
    if (job->input_id_given) {
        printf("Configuring input drive...\n");
        int result =
            configure_drive(&job->input, mrs_off, &job->input_drive_kind, &job->input_audio_mode);
        if (result != CONFIGURE_OK) return result;
    }
    if (job->output_id_given) {
        if (keyboard_stop_requested()) return CONFIGURE_STOPPED;
        const ScsiAddress* a = &job->output;
        printf("Configuring output drive %d:%d:%d...\n", a->adapter, a->target, a->lun);
        int result = configure_drive(a, mrs_off, &job->output_drive_kind, &job->output_audio_mode);
        if (result != CONFIGURE_OK) return result;
    }
    return keyboard_stop_requested() ? CONFIGURE_STOPPED : CONFIGURE_OK;
}

int set_audio_mode(const ScsiAddress* address) {
    return set_density_mode(address, kDensityAudio);
}

int set_data_mode(const ScsiAddress* address) {
    return set_density_mode(address, kDensityData);
}

int turn_off_mrs(const ScsiAddress* address) {
    printf("Turning off MRS mode...");
    uint8_t data[kModeDataLength];
    if (mrs_is_off(address, data)) {
        printf("already off.\n");
        return 0;
    }
    data[kMrsByte] |= kMrsOffBit;
    scsi_mode_select_page(address->adapter, address->target, address->lun, data, sizeof data);
    printf("%s", mrs_is_off(address, data) ? "done.\n" : "could not be turned off.\n");
    return 0;
}

int rewind_drives(JobState* job) {
    // Image and tape copies always start at the beginning; other modes only on request.
    if (!job->rewind && !job->mode_tape_to_image && !job->mode_tape_to_tape) return 0;
    if (job->input_id_given) rewind_drive(&job->input, "input");
    if (job->output_id_given && !keyboard_stop_requested()) rewind_drive(&job->output, "output");
    return 0;
}

int close_drives(JobState* job) {
    printf("\n");
    if (job->input_id_given) {
        close_drive(&job->input, "input", job->input_drive_kind, job->input_audio_mode);
    }
    if (job->output_id_given) {
        close_drive(&job->output, "output", job->output_drive_kind, job->output_audio_mode);
    }
    return 0;
}
