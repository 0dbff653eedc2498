#include "jobs/transfer_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "jobs/job_console.h"
#include "jobs/timeline_svg.h"

namespace {

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string program_text(int program) {
    if (program == 0) return "none";
    char text[8];
    snprintf(text, sizeof text, "%x", program);
    return text;
}

// A date pack's BCD year has two digits; DAT recorders date from the late 1980s.
std::string date_text(uint32_t ymd, uint32_t hms) {
    if (ymd == 0) return "none";
    const int yy = ((ymd >> 20) & 0xF) * 10 + ((ymd >> 16) & 0xF);
    char text[40];
    snprintf(text, sizeof text, "%d-%02x-%02x %02x:%02x:%02x", yy >= 80 ? 1900 + yy : 2000 + yy,
             (ymd >> 8) & 0xFF, ymd & 0xFF, (hms >> 16) & 0xFF, (hms >> 8) & 0xFF, hms & 0xFF);
    return text;
}

std::string damage_words(int damage) {
    std::string words;
    auto add = [&words](const char* word) {
        words += (words.empty() ? "" : ",") + std::string(word);
    };
    if ((damage & kDamageLeft) && (damage & kDamageRight)) {
        add("both");
    } else if (damage & kDamageLeft) {
        add("left");
    } else if (damage & kDamageRight) {
        add("right");
    }
    if (damage & kDamageUnreadable) add("unreadable");
    if (damage & kDamageRate) add("rate");
    return words;
}

void write_heading(FILE* out, const TransferLog& log) {
    const LocalTime& t = log.started;
    fprintf(out, "TERVANO transfer report\njob: %s\ninput: %s\n", log.job, log.input.c_str());
    fprintf(out, "started: %04d-%02d-%02d %02d:%02d:%02d\n", t.year, t.month, t.day, t.hour,
            t.minute, t.second);
    fprintf(out, "files: %zu\ntracks: %zu\ndropped_frames: %llu\n", log.files.size(),
            log.tracks.size(), static_cast<unsigned long long>(log.dropped));
}

void write_track(FILE* out, const TransferLog& log, size_t index) {
    const TrackLog& t = log.tracks[index];
    const std::string file = t.file < 0 ? "none" : base_name(log.files[t.file]);
    fprintf(out, "\ntrack: %zu\nfile: %s\nprogram: %s\n", index + 1, file.c_str(),
            program_text(t.program).c_str());
    fprintf(out, "start: %s\nend: %s\n", format_bcd_time(t.first_abs).c_str(),
            format_bcd_time(t.last_abs).c_str());
    fprintf(out, "frames: %llu\nduration: %s\n", static_cast<unsigned long long>(t.frames),
            format_duration(t.audio_ms, true).c_str());
    const int rates[] = {48000, 44100, 32000, 0};
    fprintf(out, "rate: %d\nlong_play: %s\nchannels: %d\nscms: %d%d\n",
            t.format_known ? rates[t.rate_code & 3] : 0, t.long_play ? "yes" : "no",
            t.channels_code == 1 ? 4 : 2, (t.scms_code >> 1) & 1, t.scms_code & 1);
    fprintf(out, "date: %s\nstart_ids: %d\ndamaged: %d\nrepaired: %d\n",
            date_text(t.date_ymd, t.date_hms).c_str(), t.start_ids, t.damaged, t.repaired);
    if (log.md5_key) fprintf(out, "%s: %s\n", log.md5_key, t.md5_hex);
}

void write_damage(FILE* out, const TransferLog& log) {
    fprintf(out, "\ndamage: %zu frames\n", log.damage.size());
    fprintf(out, "%-5s  %-11s  %-11s  %-16s  %s\n", "track", "absolute", "program", "damage",
            "repaired");
    for (const DamageLog& d : log.damage) {
        fprintf(out, "%5d  %-11s  %-11s  %-16s  %s\n", d.track + 1,
                format_bcd_time(d.abs_time).c_str(), format_bcd_time(d.program_time).c_str(),
                damage_words(d.damage).c_str(), d.repaired ? "yes" : "no");
    }
}

// Close errors count: a full disk may show only when the last buffer is written.
int finish_file(FILE* out) {
    const bool failed = ferror(out) != 0;
    const int error = errno;
    if (fclose(out) != 0) return errno;
    return failed ? (error ? error : EIO) : 0;
}

int write_report(const TransferLog& log, const std::string& path, const std::string& summary) {
    FILE* out = fopen(path.c_str(), "w");
    if (!out) return errno;
    write_heading(out, log);
    for (size_t i = 0; i < log.tracks.size(); ++i) write_track(out, log, i);
    write_damage(out, log);
    fprintf(out, "\n%s", summary.c_str());
    return finish_file(out);
}

// md5sum marks a name holding a backslash or a line end with a leading backslash and
// escapes those characters.
std::string md5_line(const char* hex, const std::string& name) {
    std::string escaped;
    bool marked = false;
    for (char c : name) {
        if (c == '\\' || c == '\n') {
            escaped += c == '\\' ? "\\\\" : "\\n";
            marked = true;
        } else {
            escaped += c;
        }
    }
    return (marked ? "\\" : "") + std::string(hex) + "  " + escaped + "\n";
}

int write_checksums(const TransferLog& log, const std::string& path) {
    std::string lines;
    for (size_t i = 0; i < log.files.size(); ++i) {
        // A file the job did not close in order is read back here.
        Md5Result sum = i < log.file_md5s.size() ? log.file_md5s[i] : Md5Result{};
        if (sum.error == 0 && sum.hex[0] == '\0')
            sum.error = md5_file(log.files[i].c_str(), sum.hex);
        if (sum.error) return sum.error;
        lines += md5_line(sum.hex, base_name(log.files[i]));
    }
    FILE* out = fopen(path.c_str(), "w");
    if (!out) return errno;
    fputs(lines.c_str(), out);
    return finish_file(out);
}

void report_failure(const std::string& path, int error) {
    if (error) print_line("Cannot write %s: %s\n", path.c_str(), strerror(error));
}

}  // namespace

void write_transfer_records(const TransferLog& log, const std::string& base) {
    const std::string summary = log_summary(log);
    const std::string report = base + ".report.txt";
    report_failure(report, write_report(log, report, summary));
    if (!log.files.empty()) {
        const std::string sums = base + ".md5";
        report_failure(sums, write_checksums(log, sums));
    }
    const std::string picture = base + ".timeline.svg";
    report_failure(picture, write_timeline_svg(log, picture, summary));
}
