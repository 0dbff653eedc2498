// The provider seen from outside: support query, addresses, inquiry, trace, bad bays,
// completion of slow drives and the exports of the built library.

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

using ProviderTest = VdatTest;
constexpr uint32_t kNoAdapters = uint32_t(SS_NO_ADAPTERS) << 8;

TEST_F(ProviderTest, SupportQueryCountsAdaptersUpToTheHighestNamed) {
    EXPECT_EQ(GetASPI32SupportInfo(), kNoAdapters);  // VDAT_CONFIG unset
    restart();
    setenv("VDAT_CONFIG", path("missing.ini").c_str(), 1);
    EXPECT_EQ(GetASPI32SupportInfo(), kNoAdapters);
    restart();
    bay("[0:4]\n[2:1]\n");
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0103u);
    for (auto [adapter, target] : {std::pair{0, 5}, std::pair{1, 4}}) {
        SRB_ExecSCSICmd srb = send(adapter, target, kTestUnitReady);
        EXPECT_EQ(scsi_status(srb), 0x82000000u) << "no device";
        EXPECT_EQ(srb.SRB_HaStat, HASTAT_SEL_TO);
    }
}

TEST_F(ProviderTest, InquiryShowsTheBayStringsBlankPaddedWithinTheAllocationLength) {
    bay("[0:1]\n[0:4]\nvendor=SONY\nproduct=SDT-9000\nrevision=12.2\ndevice_type=5\n");
    for (auto [target, type, strings] : {std::tuple{1, 1, "ARCHIVE Python 25601-XXX2.63"},
                                         std::tuple{4, 5, "SONY    SDT-9000        12.2"}}) {
        uint8_t data[40];
        memset(data, 0xEE, sizeof data);
        ASSERT_EQ(send(0, target, cdb6(0x12, 255), data, sizeof data).SRB_Status, SS_COMP);
        EXPECT_EQ(data[0], type);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28), strings);
        EXPECT_EQ(data[36], 0xEE) << "36 bytes of standard data";
    }
    uint8_t small[8];
    memset(small, 0xEE, sizeof small);
    EXPECT_EQ(send(0, 1, cdb6(0x12, 4), small, 4).SRB_Status, SS_COMP);
    EXPECT_EQ(small[4], 0xEE) << "no more than the allocation length";
    EXPECT_EQ(send(0, 1, cdb6(0x12, 36), small, 8).SRB_HaStat, HASTAT_DO_DU);
}

TEST_F(ProviderTest, UnknownOpcodesAndMalformedRequestsAreRefused) {
    bay("[0:4]\n");
    uint8_t data[20];
    EXPECT_EQ(scsi_status(send(0, 4, {0x3C, 0x01, 0, 0, 0, 0, 0, 0, 0x10, 0}, data, 16)),
              0x04052000u);
    EXPECT_EQ(send(0, 4, {0x34, 0x01, 0, 0, 0, 0}, data, 20).SRB_Status, SS_INVALID_SRB)
        << "a 10-byte command in 6 bytes";
    EXPECT_EQ(send(0, 4, {}).SRB_Status, SS_INVALID_SRB);
    EXPECT_EQ(send(0, 4, cdb6(0x12, 36), nullptr, 36).SRB_Status, SS_INVALID_SRB);
    SRB_Header header{};
    header.SRB_Cmd = 0x7F;
    EXPECT_EQ(SendASPI32Command(&header), SS_INVALID_CMD);
    EXPECT_EQ(SendASPI32Command(nullptr), SS_INVALID_SRB);
}

TEST_F(ProviderTest, TraceHasOneLinePerRequest) {
    cassette("tape.dat", {make_frame(0, 1)});
    bay("[0:4]\ncassette=tape.dat\n");
    setenv("VDAT_TRACE", path("trace.log").c_str(), 1);
    Bytes frame;
    send(1, 2, kTestUnitReady);
    set_density(4, 0x80);
    read_frame(4, &frame);
    read_frame(4, &frame);
    restart();
    EXPECT_EQ(read_text(path("trace.log")),
              "1:2:0 00 00 00 00 00 00 none 0 -> 82 00 00 00\n"
              "0:4:0 15 00 00 00 0c 00 out 12 -> 01 00 00 00\n"
              "0:4:0 08 00 00 16 be 00 in 5822 -> 01 00 00 00\n"
              "0:4:0 08 00 00 16 be 00 in 5822 -> 04 08 00 05\n");
}

// Each bad bay is rejected whole, with a message, and the program finds no adapter.
TEST_F(ProviderTest, BadBayFilesGiveNoAdapters) {
    cassette("tape.dat", {});
    for (const char* text : {"[drive]\n",
                             "[0:99]\n",
                             "[0:4]\n[0:04]\n",
                             "[0:4]\ncapacity=lots\n",
                             "[0:1]\n[0:4]\ncapacity=12000001\n",
                             "[0:4]\nlocate_fps=0\n",
                             "[0:4]\nwrite_protect=2\n",
                             "[0:4]\nlatency_ms=-5\n",
                             "[0:4]\nready_delay_ms=1e3\n",
                             "[0:4]\ndevice_type=32\n",
                             "[0:4]\nread_errors=5-2\n",
                             "[0:4]\ncasette=tape.dat\n",
                             "[0:4]\ncassette=no-such-tape.dat\n",
                             "[0:4]\ncassette=.\n",
                             "[0:4]\ncassette=tape.dat\n[0:5]\ncassette=./tape.dat\n",
                             "",
                             "; only a comment\n",
                             "garbage\n",
                             "[0:4]\n[0:4]\n",
                             "[0:4]\nvendor=A\nVENDOR=B\n",
                             "capacity=5\n[0:4]\n",
                             "[0:4]\nwrite_errors=3-1\n",
                             "[0:4]\nhang_at=-1\n"}) {
        restart();
        bay(text);
        testing::internal::CaptureStderr();
        EXPECT_EQ(GetASPI32SupportInfo(), kNoAdapters) << text;
        std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(message.rfind("vdat: ", 0), 0u) << text;
        EXPECT_NE(message.find("; the bay has no drives\n"), std::string::npos) << message;
    }
}

TEST_F(ProviderTest, BayValuesMayCarryCommentsAndRelativeCassettes) {
    std::filesystem::create_directory(path("tapes"));
    cassette("tapes/a.dat", {make_frame(0, 1)});
    bay("[0:4]   ; the first drive\n"
        "CASSETTE = tapes/a.dat        ; beside the bay\n"
        "vendor=SONY ; blank-padded\n"
        "product = \"SDT-9000\"\n");
    uint8_t data[36];
    ASSERT_EQ(send(0, 4, cdb6(0x12, 36), data, sizeof data).SRB_Status, SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 24), "SONY    SDT-9000        ");
    EXPECT_EQ(status(4, kTestUnitReady), kGood);
    EXPECT_TRUE(std::filesystem::exists(path("tapes/a.dat.state")));
}

TEST_F(ProviderTest, BuiltLibraryExportsOnlyTheTwoEntryPoints) {
    bay("[3:0]\n");
    void* library = dlopen(VDAT_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(library, "GetASPI32SupportInfo"));
    ASSERT_NE(support, nullptr);
    EXPECT_NE(dlsym(library, "SendASPI32Command"), nullptr);
    EXPECT_EQ(dlsym(library, "vdat_shutdown"), nullptr);
    EXPECT_EQ(dlsym(library, "platform_now_ms"), nullptr);
    EXPECT_EQ(support(), 0x0104u);
    dlclose(library);
}

// Drives with latency complete their requests later, from another thread, by signalling
// the request's event. The latency is real time: the fake clock would not move it.
class AsyncTest : public VdatTest {
protected:
    void SetUp() override {
        VdatTest::SetUp();
        platform_set_clock(nullptr);
        event_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    void TearDown() override {
        VdatTest::TearDown();
        close(event_);
    }

    void submit(SRB_ExecSCSICmd* srb, int target, const Bytes& cdb, uint8_t* data = nullptr,
                uint32_t length = 0, int event = -1) {
        fill_request(srb, 0, target, cdb, data, length, cdb[0] == 0x15);  // MODE SELECT: out
        srb->SRB_Flags |= SRB_EVENT_NOTIFY;
        srb->SRB_PostProc = aspi_event_to_postproc(event < 0 ? event_ : event);
        SendASPI32Command(srb);
    }

    // Waits for the event as the program's transport does, until the status is set.
    bool wait_done(const SRB_ExecSCSICmd& srb) {
        while (__atomic_load_n(&srb.SRB_Status, __ATOMIC_ACQUIRE) == SS_PENDING) {
            pollfd entry{event_, POLLIN, 0};
            uint64_t count = 0;
            if (poll(&entry, 1, 10000) <= 0 || read(event_, &count, 8) != 8) return false;
        }
        return true;
    }

    int event_ = -1;
};

TEST_F(AsyncTest, SlowDriveCompletesInOrderLaterAndSignalsTheEvent) {
    cassette("tape.dat", {make_frame(0, 1), make_frame(1, 1)});
    bay("[0:4]\ncassette=tape.dat\nlatency_ms=20\n");
    SRB_ExecSCSICmd select, reads[3];
    uint8_t list[12] = {0x00, 0x00, 0x10, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0x02};
    submit(&select, 4, cdb6(0x15, 12), list, sizeof list);
    EXPECT_EQ(select.SRB_Status, SS_PENDING);
    std::vector<Bytes> frames(3, Bytes(kFrame, 0));
    for (int i = 0; i < 3; ++i) submit(&reads[i], 4, cdb6(0x08, kFrame), frames[i].data(), kFrame);
    ASSERT_TRUE(wait_done(select));
    for (const SRB_ExecSCSICmd& srb : reads) ASSERT_TRUE(wait_done(srb));
    EXPECT_EQ(select.SRB_Status, SS_COMP);
    EXPECT_EQ(frames[0], make_frame(0, 1));
    EXPECT_EQ(frames[1], make_frame(1, 1));
    EXPECT_EQ(scsi_status(reads[2]), kEndOfData) << "sense is in place when the status is";
    EXPECT_EQ(reads[2].SRB_TargStat, STATUS_CHKCOND);
}

// A drive that stops answering: its requests stay pending, and nothing of them is touched
// again, not even at the shutdown that completes what is queued.
TEST_F(AsyncTest, FromTheHangAtRequestOnNothingCompletes) {
    cassette("tape.dat", {});
    bay("[0:4]\ncassette=tape.dat\nhang_at=2\nlatency_ms=1\n");
    SRB_ExecSCSICmd answered, hung[2];
    submit(&answered, 4, kTestUnitReady);
    ASSERT_TRUE(wait_done(answered));
    for (SRB_ExecSCSICmd& srb : hung) submit(&srb, 4, kTestUnitReady);
    restart();
    for (const SRB_ExecSCSICmd& srb : hung) EXPECT_EQ(srb.SRB_Status, SS_PENDING);
}

TEST_F(AsyncTest, ShutdownCompletesWhatIsQueuedAndAnEventThatIsNoEventfdIsLeftAlone) {
    cassette("tape.dat", {});
    bay("[0:4]\ncassette=tape.dat\nlatency_ms=60000\n[0:5]\n");
    // A caller that gave up may have reused the event's descriptor for a file.
    std::ofstream(path("victim.txt")) << "keep";
    int file = open(path("victim.txt").c_str(), O_WRONLY | O_APPEND);
    SRB_ExecSCSICmd request, quick;
    submit(&request, 4, kTestUnitReady, nullptr, 0, file);
    EXPECT_EQ(request.SRB_Status, SS_PENDING);
    submit(&quick, 5, kTestUnitReady);
    EXPECT_EQ(scsi_status(quick), kNoMedium) << "a drive without latency is not held up";
    restart();
    close(file);
    EXPECT_EQ(scsi_status(request), kGood);
    EXPECT_EQ(read_text(path("victim.txt")), "keep");
}

}  // namespace
}  // namespace vdat_test
