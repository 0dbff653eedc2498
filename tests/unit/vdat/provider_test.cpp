// The provider seen from outside: support query, addresses, inquiry, bad bays and
// completion of slow drives.

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

using ProviderTest = VdatTest;
constexpr uint32_t kNoAdapters = uint32_t(SS_NO_ADAPTERS) << 8;

// Adapters up to the highest named, a selection timeout where no drive sits, and inquiry
// strings from the bay, blank-padded within the allocation length; bay values may carry
// comments and quotes, and a cassette is found beside the bay.
TEST_F(ProviderTest, AddressesAndInquiryStringsComeFromTheBay) {
    EXPECT_EQ(GetASPI32SupportInfo(), kNoAdapters);  // VDAT_CONFIG unset
    restart();
    std::filesystem::create_directory(path("tapes"));
    cassette("tapes/a.dat", {make_frame(0)});
    bay("[0:1]\n[2:1]\n[0:4]   ; the first drive\n"
        "CASSETTE = tapes/a.dat        ; beside the bay\n"
        "vendor=SONY ; blank-padded\nproduct = \"SDT-9000\"\nrevision=12.2\ndevice_type=5\n");
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0103u);
    for (auto [adapter, target] : {std::pair{0, 5}, std::pair{1, 4}}) {
        SRB_ExecSCSICmd srb = send(target, kTestUnitReady, nullptr, 0, adapter);
        EXPECT_EQ(std::tuple(scsi_status(srb), int{srb.SRB_HaStat}),
                  std::tuple(0x82000000u, int{HASTAT_SEL_TO}));
    }
    for (auto [target, type, strings] : {std::tuple{1, 1, "ARCHIVE Python 25601-XXX2.63"},
                                         std::tuple{4, 5, "SONY    SDT-9000        12.2"}}) {
        Bytes data(40, 0xEE);
        ASSERT_EQ(scsi_status(send(target, cdb6(0x12, 255), data.data(), 40)), kGood);
        EXPECT_EQ(data[0], type);
        EXPECT_EQ(std::string(data.begin() + 8, data.begin() + 36), strings);
        EXPECT_EQ(data[36], 0xEE) << "36 bytes of standard data";
        data.assign(40, 0xEE);
        ASSERT_EQ(scsi_status(send(target, cdb6(0x12, 4), data.data(), 40)), kGood);
        EXPECT_EQ(data[4], 0xEE) << "no more than the allocation length";
    }
    EXPECT_EQ(status(4, kTestUnitReady), kGood);
    EXPECT_TRUE(std::filesystem::exists(path("tapes/a.dat.state")));
}

TEST_F(ProviderTest, UnknownOpcodesAndMalformedRequestsAreRefused) {
    bay("[0:4]\n");
    uint8_t data[20];
    EXPECT_EQ(scsi_status(send(4, {0x3C, 0x01, 0, 0, 0, 0, 0, 0, 0x10, 0}, data, 16)), 0x04052000u);
    EXPECT_EQ(send(4, {0x34, 0x01, 0, 0, 0, 0}, data, 20).SRB_Status, SS_INVALID_SRB)
        << "a 10-byte command in 6 bytes";
    EXPECT_EQ(send(4, {}).SRB_Status, SS_INVALID_SRB);
    EXPECT_EQ(send(4, cdb6(0x12, 36), nullptr, 36).SRB_Status, SS_INVALID_SRB);
    SRB_Header header{};
    header.SRB_Cmd = 0x7F;
    EXPECT_EQ(SendASPI32Command(&header), SS_INVALID_CMD);
    EXPECT_EQ(SendASPI32Command(nullptr), SS_INVALID_SRB);
}

// Each bad bay is rejected whole, with a message, and the program finds no adapter.
TEST_F(ProviderTest, BadBayFilesGiveNoAdapters) {
    cassette("tape.dat", {});
    // clang-format off
    const char* const kBadBays[] = {
        "", "; only a comment\n", "garbage\n", "capacity=5\n[0:4]\n", "[drive]\n", "[0:99]\n",
        "[0:4]\n[0:04]\n", "[0:4]\n[0:4]\n", "[0:4]\nvendor=A\nVENDOR=B\n", "[0:4]\ncasette=x\n",
        "[0:4]\ncapacity=lots\n", "[0:1]\n[0:4]\ncapacity=12000001\n", "[0:4]\nlocate_fps=0\n",
        "[0:4]\nwrite_protect=2\n", "[0:4]\nlatency_ms=-5\n", "[0:4]\nready_delay_ms=1e3\n",
        "[0:4]\ndevice_type=32\n", "[0:4]\nread_errors=5-2\n", "[0:4]\nwrite_errors=3-1\n",
        "[0:4]\nhang_at=-1\n", "[0:4]\ncassette=no-such-tape.dat\n", "[0:4]\ncassette=.\n",
        "[0:4]\ncassette=tape.dat\n[0:5]\ncassette=./tape.dat\n",
    };
    // clang-format on
    for (const char* text : kBadBays) {
        restart();
        bay(text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetASPI32SupportInfo(), kNoAdapters) << text;
        std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(message.rfind("vdat: ", 0), 0u) << text;
        EXPECT_NE(message.find("; the bay has no drives\n"), std::string::npos) << message;
    }
}

// Drives with latency complete their requests later, in order, from another thread, by
// signalling the request's event; shutdown completes what is still queued, but a drive
// that has stopped answering leaves its requests pending for ever, untouched. Only drive
// 6's millisecond of latency is waited for, in real time; no check depends on how long.
TEST_F(ProviderTest, SlowDrivesCompleteLaterInOrderAndSignalTheirEvents) {
    cassette("tape.dat", recorded(2));
    cassette("hang.dat", {});
    bay("[0:4]\ncassette=tape.dat\nlatency_ms=60000\n[0:5]\n"
        "[0:6]\ncassette=hang.dat\nhang_at=2\nlatency_ms=1\n");
    int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // A caller that gave up may have reused an event's descriptor for a file.
    std::ofstream(path("victim.txt")) << "keep";
    int file = open(path("victim.txt").c_str(), O_WRONLY | O_APPEND);
    uint64_t signals = 0;
    auto submit = [&](SRB_ExecSCSICmd* srb, int target, const Bytes& cdb, uint8_t* data = nullptr,
                      uint32_t length = 0, int notify = -1) {
        fill_request(srb, target, cdb, data, length, 0, notify < 0 ? event : notify);
        SendASPI32Command(srb);
    };
    SRB_ExecSCSICmd select, reads[3], reused, quick, answered, hung;
    Bytes list = {0x00, 0x00, 0x10, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0x02};
    std::vector<Bytes> frames(3, Bytes(kFrame, 0));
    submit(&select, 4, cdb6(0x15, 12), list.data(), 12);
    for (int i = 0; i < 3; ++i) submit(&reads[i], 4, cdb6(0x08, kFrame), frames[i].data(), kFrame);
    submit(&reused, 4, kTestUnitReady, nullptr, 0, file);
    submit(&quick, 5, kTestUnitReady);
    submit(&answered, 6, kTestUnitReady);
    // waited for as the program's transport waits
    for (uint64_t count = 0; __atomic_load_n(&answered.SRB_Status, __ATOMIC_ACQUIRE) == SS_PENDING;
         signals += count) {
        pollfd entry{event, POLLIN, 0};
        ASSERT_TRUE(poll(&entry, 1, 10000) == 1 && read(event, &count, 8) == 8);
    }
    submit(&hung, 6, kTestUnitReady);
    EXPECT_EQ(std::tuple(select.SRB_Status, reads[2].SRB_Status, reused.SRB_Status),
              std::tuple(SS_PENDING, SS_PENDING, SS_PENDING));
    EXPECT_EQ(std::tuple(scsi_status(quick), scsi_status(answered)), std::tuple(kNoMedium, kGood));
    restart();
    close(file);
    uint64_t rest = 0;
    signals += read(event, &rest, 8) == 8 ? rest : 0;
    close(event);
    EXPECT_EQ(std::tuple(scsi_status(select), scsi_status(reused), hung.SRB_Status, signals),
              std::tuple(kGood, kGood, SS_PENDING, uint64_t{6}));
    EXPECT_EQ(frames, (std::vector<Bytes>{make_frame(0), make_frame(1), Bytes(kFrame, 0)}));
    EXPECT_EQ(std::tuple(scsi_status(reads[2]), int{reads[2].SRB_TargStat}),
              std::tuple(kEndOfData, int{STATUS_CHKCOND}))
        << "sense is in place when the status is";
    EXPECT_EQ(read_text(path("victim.txt")), "keep");
}

}  // namespace
}  // namespace vdat_test
