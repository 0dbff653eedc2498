#include "unit/sg/fake_kernel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

FakeKernel* g_kernel = nullptr;
constexpr int kFirstFd = 100;
constexpr const char* kSysfs = "/fake/sys/bus/scsi/devices";

int fail(int error) {
    errno = error;
    return -1;
}

FakeDevice* device_by_fd(int fd) {
    size_t index = static_cast<size_t>(fd - kFirstFd);
    return fd >= kFirstFd && index < g_kernel->devices.size() ? &g_kernel->devices[index] : nullptr;
}

FakeDevice* device_by_node(const char* path) {
    for (FakeDevice& d : g_kernel->devices) {
        if (!d.sg_name.empty() && "/dev/" + d.sg_name == path) return &d;
    }
    return nullptr;
}

std::string device_dir(const FakeDevice& d) {
    return std::string(kSysfs) + "/" + d.address;
}

int fake_open(const char* path, int flags) {
    FakeDevice* d = device_by_node(path);
    if (d == nullptr) return fail(ENOENT);
    d->open_flags = flags;
    if (d->open_errno) return fail(d->open_errno);
    ++d->opens;
    return kFirstFd + static_cast<int>(d - g_kernel->devices.data());
}

int fake_close(int fd) {
    FakeDevice* d = device_by_fd(fd);
    if (d == nullptr) return fail(EBADF);
    ++d->closes;
    return 0;
}

int fake_sg_io(int fd, sg_io_hdr_t* io) {
    FakeDevice* d = device_by_fd(fd);
    if (d == nullptr) return fail(EBADF);
    d->requests.push_back(*io);
    d->cdbs.emplace_back(io->cmdp, io->cmdp + io->cmd_len);
    const FakeAnswer& a = d->answer;
    if (a.ioctl_errno) return fail(a.ioctl_errno);
    size_t moved = std::min<size_t>(a.data.size(), io->dxfer_len);
    if (io->dxfer_direction == SG_DXFER_FROM_DEV && moved > 0)
        memcpy(io->dxferp, a.data.data(), moved);
    size_t sensed = std::min<size_t>(a.sense.size(), io->mx_sb_len);
    if (sensed > 0) memcpy(io->sbp, a.sense.data(), sensed);
    io->sb_len_wr = static_cast<unsigned char>(sensed);
    io->status = a.status;
    io->host_status = a.host_status;
    io->driver_status = a.driver_status;
    io->resid = a.resid;
    return 0;
}

int fake_list_directory(const char* path, std::vector<std::string>* names) {
    if (!g_kernel->sysfs_present) return fail(ENOENT);
    if (strcmp(path, kSysfs) == 0) {
        names->push_back("host0");  // sysfs lists hosts and targets beside the devices
        for (const FakeDevice& d : g_kernel->devices) names->push_back(d.address);
        names->push_back("target0:0:0");
        return 0;
    }
    for (const FakeDevice& d : g_kernel->devices) {
        if (device_dir(d) + "/scsi_generic" != path || d.sg_name.empty()) continue;
        names->push_back(d.sg_name);
        return 0;
    }
    return fail(ENOENT);
}

// sysfs prints inquiry strings blank-padded to their field width, then a line end.
long fake_read_file(const char* path, char* buffer, size_t size) {
    for (const FakeDevice& d : g_kernel->devices) {
        std::string leaf = path;
        if (leaf.rfind(device_dir(d) + "/", 0) != 0) continue;
        leaf.erase(0, device_dir(d).size() + 1);
        char text[64] = "";
        if (leaf == "vendor") snprintf(text, sizeof text, "%-8s\n", d.vendor.c_str());
        if (leaf == "model") snprintf(text, sizeof text, "%-16s\n", d.model.c_str());
        if (leaf == "rev") snprintf(text, sizeof text, "%-4s\n", d.rev.c_str());
        if (leaf == "type") snprintf(text, sizeof text, "%d\n", d.type);
        size_t n = std::min(strlen(text), size);
        memcpy(buffer, text, n);
        return n ? static_cast<long>(n) : fail(ENOENT);
    }
    return fail(ENOENT);
}

int fake_rw_group(const char* path, char* name, size_t size) {
    FakeDevice* d = device_by_node(path);
    if (d == nullptr || d->rw_group.empty()) return -1;
    snprintf(name, size, "%s", d->rw_group.c_str());
    return 0;
}

const SgSystem kFakeSystem = {fake_open,           fake_close,     fake_sg_io,
                              fake_list_directory, fake_read_file, fake_rw_group};

}  // namespace

void SgFixture::SetUp() {
    g_kernel = &kernel;
    diag = open_memstream(&diag_text, &diag_size);
    sg_provider_init(&provider, &kFakeSystem, kSysfs, diag);
}

void SgFixture::TearDown() {
    sg_provider_close(&provider);
    fclose(diag);
    free(diag_text);
    g_kernel = nullptr;
}

FakeDevice& SgFixture::add_device(const char* address, const char* sg_name) {
    kernel.devices.push_back(FakeDevice{.address = address, .sg_name = sg_name});
    return kernel.devices.back();
}

std::string SgFixture::diagnostics() {
    fflush(diag);
    return std::string(diag_text, diag_size);
}
