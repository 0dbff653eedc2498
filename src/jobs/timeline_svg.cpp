#include "jobs/timeline_svg.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

constexpr int kWidth = 1200;
constexpr int kHeight = 250;
constexpr int kLeft = 40;
constexpr int kPlotWidth = kWidth - 2 * kLeft;
constexpr int kBandTop = 70;
constexpr int kBandHeight = 60;
constexpr int kDamageTop = kBandTop + kBandHeight + 4;
constexpr int kDamageHeight = 24;
constexpr int kAxisTop = kDamageTop + kDamageHeight + 6;
constexpr int kLegendTop = 215;
constexpr int kDamageBinPixels = 3;
constexpr double kNumberPixels = 22;        // room for a program number
constexpr double kDetailPixels = 68;        // ... for "44.1 kHz LP" and a date
constexpr int64_t kFramesPerHour = 120000;  // 100 frames every three seconds
constexpr const char* kBandColours[] = {"#4a7fb5", "#6fa35a"};

std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\n':
                break;
            default:
                out += c;
        }
    }
    return out;
}

// Maps tape positions to pixels.
struct Scale {
    const TransferLog* log;
    int64_t first;  // axis frames at the left edge
    double pixels_per_frame;
    double x(uint64_t position) const {
        return kLeft + (log_axis_frames(*log, position) - first) * pixels_per_frame;
    }
};

Scale make_scale(const TransferLog& log) {
    const uint64_t span = std::max<uint64_t>(log.position, 1);
    return {&log, log_axis_frames(log, 0), static_cast<double>(kPlotWidth) / span};
}

std::string axis_time(int64_t frames) {
    if (frames < 0) return "-" + axis_time(-frames);
    const int64_t seconds = frames * 3 / 100;
    char text[24];
    snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
             static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    return text;
}

// "44.1 kHz LP" and "2002-01-28": the band shows its program number above them.
std::string band_format(const TrackLog& t) {
    const char* rates[] = {"48", "44.1", "32", "?"};
    return std::string(rates[t.rate_code & 3]) + " kHz" + (t.long_play ? " LP" : "");
}

std::string band_date(const TrackLog& t) {
    if (!t.date_ymd) return "";
    const int yy = ((t.date_ymd >> 20) & 0xF) * 10 + ((t.date_ymd >> 16) & 0xF);
    char date[24];
    snprintf(date, sizeof date, "%d-%02x-%02x", yy >= 80 ? 1900 + yy : 2000 + yy,
             (t.date_ymd >> 8) & 0xFF, t.date_ymd & 0xFF);
    return date;
}

void write_defs(FILE* out) {
    fprintf(out,
            "<defs><pattern id=\"long-play\" width=\"8\" height=\"8\" "
            "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
            "<rect width=\"4\" height=\"8\" fill=\"#ffffff\" fill-opacity=\"0.35\"/>"
            "</pattern></defs>\n");
}

// Tracks of one program that follow each other (a program split over files) form one
// band.
void write_bands(FILE* out, const TransferLog& log, const Scale& s) {
    int colour = 0;
    for (size_t i = 0; i < log.tracks.size(); ++i) {
        const TrackLog& t = log.tracks[i];
        if (t.program == 0) continue;
        size_t last = i;
        while (last + 1 < log.tracks.size() && log.tracks[last + 1].program == t.program) ++last;
        const double x = s.x(t.first_position);
        const double w = std::max(1.0, s.x(log.tracks[last].last_position + 1) - x);
        const std::string format = band_format(t);
        const std::string date = band_date(t);
        fprintf(out, "<g class=\"program\"><title>program %x, %s %s</title>\n", t.program,
                format.c_str(), date.c_str());
        fprintf(out, "<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" fill=\"%s\"/>\n", x,
                kBandTop, w, kBandHeight, kBandColours[colour++ % 2]);
        if (t.long_play) {
            fprintf(out,
                    "<rect class=\"long-play\" x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" "
                    "fill=\"url(#long-play)\"/>\n",
                    x, kBandTop, w, kBandHeight);
        }
        // Text only where it fits; the title names every band.
        if (w >= kNumberPixels) {
            fprintf(out,
                    "<text x=\"%.2f\" y=\"%d\" fill=\"#ffffff\" font-weight=\"bold\" "
                    "font-size=\"14\">%x</text>\n",
                    x + 3, kBandTop + 18, t.program);
        }
        if (w >= kDetailPixels) {
            fprintf(out,
                    "<text x=\"%.2f\" y=\"%d\" fill=\"#ffffff\" font-size=\"11\">%s"
                    "<tspan x=\"%.2f\" dy=\"14\">%s</tspan></text>\n",
                    x + 3, kBandTop + 34, format.c_str(), x + 3, date.c_str());
        }
        fprintf(out, "</g>\n");
        i = last;
    }
}

void write_blanks(FILE* out, const TransferLog& log, const Scale& s) {
    for (const BlankRun& run : log.blanks) {
        const double x = s.x(run.first_position);
        fprintf(out,
                "<rect class=\"blank\" x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" "
                "fill=\"#b0b0b0\"/>\n",
                x, kBandTop, std::max(1.0, s.x(run.first_position + run.frames) - x), kBandHeight);
    }
}

void write_start_ids(FILE* out, const TransferLog& log, const Scale& s) {
    for (uint64_t position : log.start_id_positions) {
        const double x = s.x(position);
        fprintf(out,
                "<line class=\"start-id\" x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" "
                "stroke=\"#000000\" stroke-width=\"1.5\"/>\n",
                x, kBandTop - 12, x, kBandTop);
    }
}

// Bins a few pixels wide; a bin's height grows with the logarithm of its count, so that
// one frame shows and a thousand do not swamp the picture.
void write_damage(FILE* out, const TransferLog& log, const Scale& s) {
    std::vector<int> bins(kPlotWidth / kDamageBinPixels + 1, 0);
    for (const DamageLog& d : log.damage) {
        const int bin = static_cast<int>((s.x(d.position) - kLeft) / kDamageBinPixels);
        bins[std::clamp(bin, 0, static_cast<int>(bins.size()) - 1)]++;
    }
    const int most = *std::max_element(bins.begin(), bins.end());
    for (size_t b = 0; b < bins.size(); ++b) {
        if (bins[b] == 0) continue;
        const double h = 4 + (kDamageHeight - 4) * std::log(1.0 + bins[b]) / std::log(1.0 + most);
        fprintf(out,
                "<rect class=\"damage\" x=\"%zu\" y=\"%.2f\" width=\"%d\" height=\"%.2f\" "
                "fill=\"#d62728\"><title>%d damaged frames</title></rect>\n",
                kLeft + b * kDamageBinPixels, kDamageTop + kDamageHeight - h, kDamageBinPixels, h,
                bins[b]);
    }
}

// Ticks at a round step that gives at most a dozen labels.
void write_axis(FILE* out, const TransferLog& log, const Scale& s) {
    const int64_t steps[] = {100, 1000, 2000, 10000, 20000, 60000, kFramesPerHour};  // 3 s ... 1 h
    const int64_t span = std::max<int64_t>(static_cast<int64_t>(log.position), 1);
    int64_t step = steps[0];
    for (int64_t candidate : steps) {
        step = candidate;
        if (span / candidate <= 12) break;
    }
    fprintf(out, "<line x1=\"%d\" y1=\"%d\" x2=\"%d\" y2=\"%d\" stroke=\"#000000\"/>\n", kLeft,
            kAxisTop, kLeft + kPlotWidth, kAxisTop);
    const int64_t last = s.first + span;
    for (int64_t t = (s.first / step + (s.first > 0)) * step; t <= last; t += step) {
        const double x = kLeft + (t - s.first) * s.pixels_per_frame;
        fprintf(out,
                "<line x1=\"%.2f\" y1=\"%d\" x2=\"%.2f\" y2=\"%d\" stroke=\"#000000\"/>"
                "<text x=\"%.2f\" y=\"%d\" text-anchor=\"middle\">%s</text>\n",
                x, kAxisTop, x, kAxisTop + 5, x, kAxisTop + 18, axis_time(t).c_str());
    }
}

void write_legend(FILE* out) {
    struct Entry {
        const char* swatch;
        const char* text;
    };
    const Entry entries[] = {
        {"<rect width=\"14\" height=\"10\" fill=\"#4a7fb5\"/>", "program (number, rate, date)"},
        {"<rect width=\"14\" height=\"10\" fill=\"#4a7fb5\"/>"
         "<rect width=\"14\" height=\"10\" fill=\"url(#long-play)\"/>",
         "long play"},
        {"<rect width=\"14\" height=\"10\" fill=\"#b0b0b0\"/>", "blank tape"},
        {"<line x1=\"7\" y1=\"0\" x2=\"7\" y2=\"10\" stroke=\"#000000\" stroke-width=\"1.5\"/>",
         "start ID"},
        {"<rect width=\"14\" height=\"10\" fill=\"#d62728\"/>", "damaged frames (binned)"},
    };
    fprintf(out, "<g class=\"legend\">\n");
    int x = kLeft;
    for (const Entry& e : entries) {
        fprintf(out, "<g transform=\"translate(%d,%d)\">%s<text x=\"20\" y=\"10\">%s</text></g>\n",
                x, kLegendTop, e.swatch, e.text);
        x += 220;
    }
    fprintf(out, "</g>\n");
}

}  // namespace

int write_timeline_svg(const TransferLog& log, const std::string& path,
                       const std::string& summary) {
    FILE* out = fopen(path.c_str(), "w");
    if (!out) return errno;
    const std::string title = escaped(summary);
    fprintf(out,
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
            "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"12\">\n"
            "<title>%s</title>\n",
            kWidth, kHeight, kWidth, kHeight, title.c_str());
    write_defs(out);
    fprintf(out, "<rect width=\"%d\" height=\"%d\" fill=\"#ffffff\"/>\n", kWidth, kHeight);
    fprintf(out, "<text x=\"%d\" y=\"24\" font-size=\"14\">%s tape timeline, input %s</text>\n",
            kLeft, log.job, escaped(log.input).c_str());
    fprintf(out, "<text x=\"%d\" y=\"44\">%s</text>\n", kLeft, title.c_str());
    const Scale s = make_scale(log);
    write_bands(out, log, s);
    write_blanks(out, log, s);
    write_start_ids(out, log, s);
    write_damage(out, log, s);
    write_axis(out, log, s);
    write_legend(out);
    fprintf(out, "</svg>\n");
    const bool failed = ferror(out) != 0;
    if (fclose(out) != 0 || failed) return errno ? errno : EIO;
    return 0;
}
