#pragma once
// The records written beside a transfer's output: "<base>.report.txt", "<base>.md5" and
// "<base>.timeline.svg". A record that cannot be written gets one console line and
// changes nothing else: the audio it describes is whole.
//
// The report is plain text: a heading block, one block of "key: value" lines per track
// (blocks are separated by an empty line), the damaged frames in fixed columns, and the
// summary line last. A track block holds, one per line: track, file, program, start and
// end (absolute times), frames, duration, rate, long_play, channels, scms, date,
// start_ids, damaged, repaired, and for WAV files audio_md5, the checksum of the track's
// PCM in its file, which stays true when the file's metadata is edited. An image is
// checked as a whole by the checksum file; hashing each program again would halve the
// speed of a copy.
//
//   damage: 2 frames
//   track  absolute     program      damage            repaired
//       1  00:00:01:02  00:00:01:02  left              yes
//
// The checksum file has one line per output file in the form md5sum -c reads, names
// relative to its own folder.

#include <string>

#include "jobs/transfer_log.h"

void write_transfer_records(const TransferLog& log, const std::string& base);
