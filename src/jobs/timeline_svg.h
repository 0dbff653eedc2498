#pragma once
// A picture of the transfer: the tape as a horizontal timeline on the absolute-time axis
// (anchored at the first valid absolute time read; blank tape, which has none, runs on
// at one frame per frame). One band per program, labelled with its number, rate and
// date, hatched when it is long play; start IDs as ticks above the bands; blank
// stretches grey; damaged frames as red marks, counted into bins a few pixels wide so
// that a 3-hour tape stays readable; a legend; the summary line as the title.
//
// Elements carry a class naming what they show: "program" (a band's group), "blank",
// "start-id", "damage", "legend".

#include <string>

#include "jobs/transfer_log.h"

// 0, or the errno value of the failure.
int write_timeline_svg(const TransferLog& log, const std::string& path, const std::string& summary);
