#include "sg/sg_discovery.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

bool parse_decimal(const char** text, uint64_t max, uint64_t* value) {
    const char* p = *text;
    if (*p < '0' || *p > '9') return false;
    uint64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (max - digit) / 10) return false;
        v = v * 10 + digit;
    }
    *text = p;
    *value = v;
    return true;
}

bool is_sg_name(const std::string& name) {
    if (name.size() < 3 || name.size() > 12 || name.compare(0, 2, "sg") != 0) return false;
    return std::all_of(name.begin() + 2, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Joins a directory and an entry; false when the path would not fit.
bool join_path(char* out, size_t size, const char* dir, const char* entry) {
    int n = snprintf(out, size, "%s/%s", dir, entry);
    return n > 0 && static_cast<size_t>(n) < size;
}

// A sysfs inquiry string: the kernel prints the padded field and a line end; keep the
// text without trailing blanks, with anything unprintable shown as '?'.
void read_string_attribute(const SgSystem* sys, const char* path, char* out, size_t out_size) {
    char raw[64];
    long n = sys->read_file(path, raw, sizeof raw);
    size_t length = n > 0 ? static_cast<size_t>(n) : 0;
    while (length > 0 && (raw[length - 1] == '\n' || raw[length - 1] == ' ')) --length;
    length = std::min(length, out_size - 1);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(raw[i]);
        out[i] = (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '?';
    }
    out[length] = '\0';
}

int read_device_type(const SgSystem* sys, const char* path) {
    char raw[16];
    long n = sys->read_file(path, raw, sizeof raw - 1);
    if (n <= 0) return -1;
    raw[n] = '\0';
    const char* p = raw;
    uint64_t type;
    if (!parse_decimal(&p, 0x1F, &type) || (*p != '\0' && *p != '\n')) return -1;
    return static_cast<int>(type);
}

// The sgN node of a SCSI device directory; false when the sg driver does not serve it.
bool find_sg_node(const SgSystem* sys, const char* device_dir, char* node, size_t size) {
    char path[512];
    if (!join_path(path, sizeof path, device_dir, "scsi_generic")) return false;
    std::vector<std::string> names;
    if (sys->list_directory(path, &names) != 0) return false;
    for (const std::string& name : names) {
        if (!is_sg_name(name)) continue;
        int n = snprintf(node, size, "/dev/%s", name.c_str());
        return n > 0 && static_cast<size_t>(n) < size;
    }
    return false;
}

bool read_device(const SgSystem* sys, const char* sysfs_devices, const std::string& entry,
                 SgDevice* device) {
    *device = SgDevice{};
    device->fd = -1;
    if (!sg_parse_scsi_address(entry.c_str(), device)) return false;
    char dir[512];
    char path[512];
    if (!join_path(dir, sizeof dir, sysfs_devices, entry.c_str())) return false;
    if (!find_sg_node(sys, dir, device->node, sizeof device->node)) return false;
    if (!join_path(path, sizeof path, dir, "type")) return false;
    device->device_type = read_device_type(sys, path);
    const std::pair<const char*, std::pair<char*, size_t>> strings[] = {
        {"vendor", {device->vendor, sizeof device->vendor}},
        {"model", {device->product, sizeof device->product}},
        {"rev", {device->revision, sizeof device->revision}},
    };
    for (const auto& [leaf, field] : strings) {
        if (!join_path(path, sizeof path, dir, leaf)) return false;
        read_string_attribute(sys, path, field.first, field.second);
    }
    return true;
}

// Numbers the (host, channel) pairs in ascending order and gives each device its pair's.
int assign_adapters(std::vector<SgDevice>* devices) {
    std::vector<std::pair<int, int>> pairs;
    for (const SgDevice& d : *devices) pairs.emplace_back(d.host, d.channel);
    std::sort(pairs.begin(), pairs.end());
    pairs.erase(std::unique(pairs.begin(), pairs.end()), pairs.end());
    for (SgDevice& d : *devices) {
        auto at = std::lower_bound(pairs.begin(), pairs.end(), std::make_pair(d.host, d.channel));
        d.adapter = static_cast<int>(at - pairs.begin());
    }
    std::sort(devices->begin(), devices->end(), [](const SgDevice& a, const SgDevice& b) {
        if (a.adapter != b.adapter) return a.adapter < b.adapter;
        if (a.target != b.target) return a.target < b.target;
        return a.lun < b.lun;
    });
    return static_cast<int>(pairs.size());
}

}  // namespace

bool sg_parse_scsi_address(const char* text, SgDevice* device) {
    uint64_t host, channel, target, lun;
    const char* p = text;
    if (!parse_decimal(&p, INT_MAX, &host) || *p++ != ':') return false;
    if (!parse_decimal(&p, INT_MAX, &channel) || *p++ != ':') return false;
    if (!parse_decimal(&p, INT_MAX, &target) || *p++ != ':') return false;
    if (!parse_decimal(&p, UINT64_MAX, &lun) || *p != '\0') return false;
    device->host = static_cast<int>(host);
    device->channel = static_cast<int>(channel);
    device->target = static_cast<int>(target);
    device->lun = lun;
    return true;
}

int sg_discover(const SgSystem* sys, const char* sysfs_devices, std::vector<SgDevice>* devices) {
    devices->clear();
    std::vector<std::string> entries;
    if (sys->list_directory(sysfs_devices, &entries) != 0) return 0;
    for (const std::string& entry : entries) {
        SgDevice device;
        if (read_device(sys, sysfs_devices, entry, &device)) devices->push_back(device);
    }
    return assign_adapters(devices);
}

SgDevice* sg_find_device(std::vector<SgDevice>* devices, int adapter, int target, int lun) {
    for (SgDevice& d : *devices) {
        if (d.adapter == adapter && d.target == target && d.lun == static_cast<uint64_t>(lun))
            return &d;
    }
    return nullptr;
}

const char* sg_device_type_name(int device_type) {
    // Peripheral device types of the SCSI primary commands standard.
    static const char* const kNames[0x20] = {
        "disk",    "tape",  "printer", "processor", "worm",  "cd/dvd",    "scanner", "optical",
        "changer", "comms", nullptr,   nullptr,     "raid",  "enclosure", "rbc",     "card",
        nullptr,   "osd",   "adc",     nullptr,     "zbc",   nullptr,     nullptr,   nullptr,
        nullptr,   nullptr, nullptr,   nullptr,     nullptr, nullptr,     "wlun",    "no-device",
    };
    if (device_type < 0 || device_type >= 0x20 || kNames[device_type] == nullptr) return "unknown";
    return kNames[device_type];
}
