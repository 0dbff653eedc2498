// Throughput of a tape-to-tape copy through the provider: a READ(6) of one drive and a
// WRITE(6) to another per frame, over a cassette of 20,000 frames, with and without the
// trace. Reported as frames per second (items_per_second).

#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/aspi_srb.h"
#include "vdat.h"

namespace {

constexpr uint32_t kFrame = 5822;
constexpr int kFrames = 20000;

uint8_t send(int target, const uint8_t* cdb, int cdb_length, uint8_t* data, uint32_t length,
             bool out) {
    SRB_ExecSCSICmd srb{};
    srb.SRB_Cmd = SC_EXEC_SCSI_CMD;
    srb.SRB_Flags = out ? SRB_DIR_OUT : SRB_DIR_IN;
    srb.SRB_Target = static_cast<uint8_t>(target);
    srb.SRB_BufLen = length;
    srb.SRB_BufPointer = data;
    srb.SRB_SenseLen = SENSE_LEN;
    srb.SRB_CDBLen = static_cast<uint8_t>(cdb_length);
    memcpy(srb.CDBByte, cdb, cdb_length);
    SendASPI32Command(&srb);
    return srb.SRB_Status;
}

void audio_mode(int target) {
    uint8_t cdb[6] = {0x15, 0x00, 0x00, 0x00, 0x0C, 0x00};
    uint8_t list[12] = {0x00, 0x00, 0x10, 0x08, 0x80, 0, 0, 0, 0, 0, 0, 0x02};
    send(target, cdb, 6, list, sizeof list, true);
}

void copy_cassette(benchmark::State& state, bool trace) {
    char name[] = "/tmp/vdat_bench_XXXXXX";
    std::string folder = mkdtemp(name);
    {
        std::vector<char> frame(kFrame);
        std::ofstream tape(folder + "/source.dat", std::ios::binary);
        for (int i = 0; i < kFrames; ++i) {
            memset(frame.data(), i & 0xFF, frame.size());
            tape.write(frame.data(), kFrame);
        }
        std::ofstream(folder + "/copy.dat");
        std::ofstream(folder + "/bay.ini") << "[0:4]\ncassette=source.dat\n"
                                              "[0:5]\ncassette=copy.dat\n";
    }
    vdat_shutdown();
    setenv("VDAT_CONFIG", (folder + "/bay.ini").c_str(), 1);
    if (trace) setenv("VDAT_TRACE", (folder + "/trace.log").c_str(), 1);
    audio_mode(4);
    audio_mode(5);

    const uint8_t rewind[6] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    const uint8_t read[6] = {0x08, 0x00, 0x00, 0x16, 0xBE, 0x00};
    const uint8_t write[6] = {0x0A, 0x00, 0x00, 0x16, 0xBE, 0x00};
    std::vector<uint8_t> buffer(kFrame);
    for (auto _ : state) {
        send(4, rewind, 6, nullptr, 0, false);
        send(5, rewind, 6, nullptr, 0, false);
        for (int i = 0; i < kFrames; ++i) {
            if (send(4, read, 6, buffer.data(), kFrame, false) != SS_COMP ||
                send(5, write, 6, buffer.data(), kFrame, true) != SS_COMP) {
                state.SkipWithError("a copy command failed");
                break;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
    vdat_shutdown();
    unsetenv("VDAT_CONFIG");
    unsetenv("VDAT_TRACE");
    std::filesystem::remove_all(folder);
}

void BM_CopyCassette(benchmark::State& state) {
    copy_cassette(state, false);
}
void BM_CopyCassetteTraced(benchmark::State& state) {
    copy_cassette(state, true);
}

BENCHMARK(BM_CopyCassette)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CopyCassetteTraced)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
