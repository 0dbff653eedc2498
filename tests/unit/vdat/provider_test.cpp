// The provider seen from outside: support query, addresses, inquiry, trace, bad bays and
// the exports of the built library.

#include <dlfcn.h>

#include "vdat_test_support.h"

namespace vdat_test {
namespace {

class ProviderTest : public VdatTest {};

TEST_F(ProviderTest, SupportQueryCountsAdaptersUpToTheHighestNamed) {
    EXPECT_EQ(GetASPI32SupportInfo(), uint32_t(SS_NO_ADAPTERS) << 8);  // VDAT_CONFIG unset
    restart();
    setenv("VDAT_CONFIG", path("missing.ini").c_str(), 1);
    EXPECT_EQ(GetASPI32SupportInfo(), uint32_t(SS_NO_ADAPTERS) << 8);
    restart();
    bay("[0:4]\n[2:1]\n");
    EXPECT_EQ(GetASPI32SupportInfo(), 0x0103u);
    restart();
    bay("; a bay without drives\n");
    EXPECT_EQ(GetASPI32SupportInfo(), uint32_t(SS_NO_ADAPTERS) << 8);
}

TEST_F(ProviderTest, AddressWithoutSectionHasNoDevice) {
    bay("[0:4]\n");
    uint8_t data[255];
    for (auto [adapter, target] : {std::pair{0, 5}, std::pair{1, 4}, std::pair{200, 4}}) {
        Reply reply = send(adapter, target, cdb_inquiry(), data, sizeof data);
        EXPECT_EQ(reply.scsi_status(), 0x82000000u);
        EXPECT_EQ(reply.host_status, HASTAT_SEL_TO);
    }
    SRB_ExecSCSICmd srb;
    fill_request(&srb, 0, 4, cdb_inquiry(), data, sizeof data, false);
    srb.SRB_Lun = 1;
    EXPECT_EQ(SendASPI32Command(&srb), SS_NO_DEVICE);
    EXPECT_EQ(send(0, 4, cdb_inquiry(), data, sizeof data).status, SS_COMP);
}

TEST_F(ProviderTest, InquiryShowsTheBayStringsBlankPadded) {
    bay("[0:1]\n"
        "[0:4]\nvendor=SONY\nproduct=SDT-9000\nrevision=12.2\ndevice_type=5\n"
        "[0:5]\nvendor=MUCH TOO LONG\nproduct=\nrevision=1\n");
    uint8_t data[255];
    memset(data, 0xEE, sizeof data);
    ASSERT_EQ(send(0, 1, cdb_inquiry(), data, sizeof data).status, SS_COMP);
    EXPECT_EQ(data[0], 1);
    EXPECT_EQ(data[4], 31);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28), "ARCHIVE Python 25601-XXX2.63");
    EXPECT_EQ(data[36], 0xEE) << "36 bytes of standard data";

    ASSERT_EQ(send(0, 4, cdb_inquiry(), data, sizeof data).status, SS_COMP);
    EXPECT_EQ(data[0], 5);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28), "SONY    SDT-9000        12.2");

    ASSERT_EQ(send(0, 5, cdb_inquiry(), data, sizeof data).status, SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 28),
              std::string("MUCH TOO") + std::string(16, ' ') + "1   ");

    uint8_t small[8];
    memset(small, 0xEE, sizeof small);
    EXPECT_EQ(send(0, 1, cdb_inquiry(4), small, 4).status, SS_COMP);
    EXPECT_EQ(small[4], 0xEE) << "no more than the allocation length";
    EXPECT_EQ(send(0, 1, cdb_inquiry(36), small, 8).host_status, HASTAT_DO_DU);
    EXPECT_EQ(send(0, 1, {0x12, 0x01, 0x80, 0x00, 0xFF, 0x00}, data, 255).scsi_status(),
              0x04052400u);
}

TEST_F(ProviderTest, UnknownOpcodesAndMalformedRequestsAreRefused) {
    cassette("tape.dat", {});
    bay("[0:4]\ncassette=tape.dat\n");
    uint8_t data[64];
    EXPECT_EQ(send(0, 4, {0x3C, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00}, data, 16)
                  .scsi_status(),
              0x04052000u);
    EXPECT_EQ(send(0, 4, {0x34, 0x01, 0x00, 0x00, 0x00, 0x00}, data, 20).status, SS_INVALID_SRB)
        << "a 10-byte command in 6 bytes";
    EXPECT_EQ(send(0, 4, {}, nullptr, 0).status, SS_INVALID_SRB);
    EXPECT_EQ(send(0, 4, cdb_inquiry(), nullptr, 36).status, SS_INVALID_SRB);

    SRB_Header header{};
    header.SRB_Cmd = 0x7F;
    EXPECT_EQ(SendASPI32Command(&header), SS_INVALID_CMD);
    EXPECT_EQ(SendASPI32Command(nullptr), SS_INVALID_SRB);

    SRB_HAInquiry adapter{};
    adapter.SRB_Cmd = SC_HA_INQUIRY;
    EXPECT_EQ(SendASPI32Command(&adapter), SS_COMP);
    EXPECT_EQ(adapter.HA_Count, 1);
    SRB_GDEVBlock device{};
    device.SRB_Cmd = SC_GET_DEV_TYPE;
    device.SRB_Target = 4;
    EXPECT_EQ(SendASPI32Command(&device), SS_COMP);
    EXPECT_EQ(device.SRB_DeviceType, 1);
    device.SRB_Target = 3;
    EXPECT_EQ(SendASPI32Command(&device), SS_NO_DEVICE);
}

TEST_F(ProviderTest, TraceHasOneLinePerRequest) {
    cassette("tape.dat", {make_frame(0, 1)});
    bay("[0:4]\ncassette=tape.dat\n");
    trace_to("trace.log");
    Bytes frame;
    uint8_t data[255];
    send(1, 2, cdb_test_unit_ready());
    set_density(0, 4, 0x80);
    read_frame(0, 4, &frame);
    read_frame(0, 4, &frame);
    send(0, 4, cdb_inquiry(), data, sizeof data);
    restart();
    EXPECT_EQ(read_text(path("trace.log")),
              "1:2:0 00 00 00 00 00 00 none 0 -> 82 00 00 00\n"
              "0:4:0 15 00 00 00 0c 00 out 12 -> 01 00 00 00\n"
              "0:4:0 08 00 00 16 be 00 in 5822 -> 01 00 00 00\n"
              "0:4:0 08 00 00 16 be 00 in 5822 -> 04 08 00 05\n"
              "0:4:0 12 00 00 00 ff 00 in 255 -> 01 00 00 00\n");
}

// Each bad bay is rejected whole, with a message, and the program finds no adapter.
TEST_F(ProviderTest, BadBayFilesGiveNoAdapters) {
    cassette("tape.dat", {});
    const char* const bad[] = {
        "[drive]\n",
        "[0:99]\n",
        "[0:4:0]\n",
        "[-1:4]\n",
        "[0:4]\ncapacity=lots\n",
        "[0:4]\ncapacity=0\n",
        "[0:4]\nlocate_fps=0\n",
        "[0:4]\nwrite_protect=2\n",
        "[0:4]\nlatency_ms=-5\n",
        "[0:4]\nready_delay_ms=1e3\n",
        "[0:4]\ndevice_type=32\n",
        "[0:4]\nread_errors=5-2\n",
        "[0:4]\nread_errors=1,,2\n",
        "[0:4]\nread_errors=ten\n",
        "[0:4]\ncasette=tape.dat\n",
        "[0:4]\ncassette=no-such-tape.dat\n",
        "[0:4]\ncassette=.\n",
        "[0:4]\n[0:04]\n",
        "[0:4]\ncassette=tape.dat\n[0:5]\ncassette=./tape.dat\n",
        "[0:1]\n[0:4]\ncapacity=12000001\n",
    };
    for (const char* text : bad) {
        restart();
        bay(text);
        testing::internal::CaptureStderr();
        uint32_t info = GetASPI32SupportInfo();
        std::string message = testing::internal::GetCapturedStderr();
        EXPECT_EQ(info, uint32_t(SS_NO_ADAPTERS) << 8) << text;
        EXPECT_NE(message.find("vdat: "), std::string::npos) << text;
        EXPECT_NE(message.find("no drives"), std::string::npos) << message;
        EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).status, SS_NO_DEVICE) << text;
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
    ASSERT_EQ(send(0, 4, cdb_inquiry(36), data, sizeof data).status, SS_COMP);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(data) + 8, 24), "SONY    SDT-9000        ");
    EXPECT_EQ(send(0, 4, cdb_test_unit_ready()).scsi_status(), 0x01000000u);
    EXPECT_TRUE(std::filesystem::exists(path("tapes/a.dat.state")));
}

TEST_F(ProviderTest, BuiltLibraryExportsOnlyTheTwoEntryPoints) {
    cassette("tape.dat", {});
    bay("[3:0]\ncassette=tape.dat\n");
    void* library = dlopen(VDAT_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto support = reinterpret_cast<GetASPI32SupportInfoFn>(dlsym(library, "GetASPI32SupportInfo"));
    auto send_command = reinterpret_cast<SendASPI32CommandFn>(dlsym(library, "SendASPI32Command"));
    ASSERT_NE(support, nullptr);
    ASSERT_NE(send_command, nullptr);
    EXPECT_EQ(dlsym(library, "vdat_shutdown"), nullptr);
    EXPECT_EQ(dlsym(library, "platform_now_ms"), nullptr);
    EXPECT_EQ(dlsym(library, "_Z12profile_loadPKcP11ProfileFile"), nullptr);
    EXPECT_EQ(support(), 0x0104u);
    SRB_ExecSCSICmd srb;
    fill_request(&srb, 3, 0, cdb_test_unit_ready(), nullptr, 0, false);
    EXPECT_EQ(send_command(&srb), SS_COMP);
    dlclose(library);
}

}  // namespace
}  // namespace vdat_test
