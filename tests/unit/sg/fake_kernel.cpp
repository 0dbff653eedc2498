#include "unit/sg/fake_kernel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

std::deque<FakeDevice>* g_devices = nullptr;
constexpr int kFirstFd = 100;
SgSystem g_system;

int fail(int error) {
    errno = error;
    return -1;
}

FakeDevice* device_by_fd(int fd) {
    size_t index = static_cast<size_t>(fd - kFirstFd);
    return index < g_devices->size() ? &(*g_devices)[index] : nullptr;
}

// The index of the device with that node, or -1.
int device_by_node(const char* path) {
    for (size_t i = 0; i < g_devices->size(); ++i) {
        if ((*g_devices)[i].node == path) return static_cast<int>(i);
    }
    return -1;
}

int fake_open(const char* path, int flags) {
    int index = device_by_node(path);
    if (index < 0) return fail(ENOENT);
    FakeDevice& d = (*g_devices)[index];
    d.open_flags = flags;
    if (d.open_errno) return fail(d.open_errno);
    ++d.opens;
    return kFirstFd + index;
}

int fake_close(int fd) {
    FakeDevice* d = device_by_fd(fd);
    return d ? (++d->closes, 0) : fail(EBADF);
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

int fake_rw_group(const char* path, char* name, size_t size) {
    int index = device_by_node(path);
    if (index < 0 || (*g_devices)[index].rw_group.empty()) return -1;
    snprintf(name, size, "%s", (*g_devices)[index].rw_group.c_str());
    return 0;
}

}  // namespace

void SgFixture::SetUp() {
    g_devices = &devices;
    char name[] = "/tmp/sg_test_XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    sysfs = name;
    // sysfs lists hosts and targets beside the devices
    for (const char* other : {"/host0", "/target0:0:0"})
        std::filesystem::create_directory(sysfs + other);
    g_system = *sg_real_system();
    g_system.open_device = fake_open;
    g_system.close_device = fake_close;
    g_system.send_sg_io = fake_sg_io;
    g_system.rw_group = fake_rw_group;
    diag = open_memstream(&diag_text, &diag_size);
    sg_provider_init(&provider, &g_system, sysfs.c_str(), diag);
}

void SgFixture::TearDown() {
    sg_provider_close(&provider);
    fclose(diag);
    free(diag_text);
    std::filesystem::remove_all(sysfs);
    g_devices = nullptr;
}

// sysfs prints inquiry strings blank-padded to their field width, then a line end.
FakeDevice& SgFixture::add_device(const std::string& address, const std::string& sg_name,
                                  const std::string& vendor, const std::string& model,
                                  const std::string& rev, int type) {
    std::string dir = sysfs + "/" + address;
    std::filesystem::create_directories(dir + "/scsi_generic/" + sg_name);
    auto put = [&dir](const char* leaf, const char* format, const std::string& value) {
        char text[64];
        snprintf(text, sizeof text, format, value.c_str());
        std::ofstream(dir + "/" + leaf) << text;
    };
    put("vendor", "%-8s\n", vendor);
    put("model", "%-16s\n", model);
    put("rev", "%-4s\n", rev);
    put("type", "%s\n", std::to_string(type));
    devices.push_back(FakeDevice{.node = sg_name.empty() ? "" : "/dev/" + sg_name});
    return devices.back();
}

std::string SgFixture::diagnostics() {
    fflush(diag);
    return std::string(diag_text, diag_size);
}
