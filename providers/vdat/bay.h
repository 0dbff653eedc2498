#pragma once
// The drive bay: the profile file named by VDAT_CONFIG, one section per drive.
//
//   [0:4]                    adapter:target (0-7 and 0-15); the LUN is always 0
//   vendor=SONY              inquiry vendor, blank-padded to 8 (default ARCHIVE)
//   product=SDT-9000         inquiry product, blank-padded to 16 (default Python 25601-XXX)
//   revision=12.2            inquiry revision, 4 characters (default 2.63)
//   device_type=1            inquiry peripheral device type, 0-31 (default 1)
//   cassette=tape.dat        relative to the bay file's folder; absent or empty: none
//   write_protect=0          1: the cassette's write-protect tab is set
//   capacity=240000          frames the cassette holds (default: 2 hours)
//   read_errors=100,205-210  positions whose READ fails with MEDIUM ERROR
//   locate_fps=20000         winding speed of an audio LOCATE, frames per second
//   ready_delay_ms=0         after insertion or LOAD, not ready for this long
//   latency_ms=0             > 0: commands complete asynchronously after this long
//   write_errors=50,60-62    positions whose WRITE fails with MEDIUM ERROR, nothing stored
//   hang_at=0                > 0: from the N-th command sent to this drive in the run on,
//                            commands never complete (counted from 1, every SCSI command)
//   refuse=18,26             operation codes, in decimal, answered ILLEGAL REQUEST (18
//                            INQUIRY, 21 MODE SELECT, 26 MODE SENSE): a drive that lacks them
//   mrs_stuck=1              1: MODE SELECT takes the MRS page but the MRS switch stays on
//
// A ';' preceded by a blank starts a comment after a value. Any fault (an unknown key, a
// number out of range, a bad section name, a section or key given twice, a line that is
// neither a section, a key=value nor a comment, no section at all, a cassette that cannot
// be opened) rejects the whole bay with a message: a drive that half works would mislead
// more than none.

#include <cstdint>
#include <string>
#include <vector>

struct FrameRange {
    uint64_t first;
    uint64_t last;
};

struct DriveConfig {
    int adapter = 0;
    int target = 0;
    char vendor[9] = "ARCHIVE";
    char product[17] = "Python 25601-XXX";
    char revision[5] = "2.63";
    uint8_t device_type = 1;
    std::string cassette;  // full path, empty for none
    bool write_protect = false;
    uint64_t capacity = 240000;
    std::vector<FrameRange> read_errors;  // sorted, not overlapping
    std::vector<FrameRange> write_errors;
    uint32_t locate_fps = 20000;
    uint32_t ready_delay_ms = 0;
    uint32_t latency_ms = 0;
    uint64_t hang_at = 0;
    std::vector<FrameRange> refuse;  // operation codes
    bool mrs_stuck = false;
};

constexpr int kMaxAdapter = 7;
constexpr int kMaxTarget = 15;

// Reads the bay file. 0, or -1 with the reason in error.
int bay_read(const char* path, std::vector<DriveConfig>* drives, std::string* error);

// Parses "100,205-210" into sorted ranges. 0, or -1 for text that is not such a list.
int parse_frame_ranges(const char* text, std::vector<FrameRange>* ranges);

// Whether position lies in one of the sorted ranges.
bool in_ranges(const std::vector<FrameRange>& ranges, uint64_t position);
