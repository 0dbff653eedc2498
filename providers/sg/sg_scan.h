#pragma once
// The listing that tervano-scan prints: every SCSI generic device with the adapter:target
// that /INPUTID and /OUTPUTID take, its inquiry strings, type and device node, and what
// stands in the way of using it.

#include <cstdio>

#include "sg/sg_provider.h"

// Finds the devices afresh and lists them on out; returns how many were listed.
int sg_print_devices(SgProvider* provider, FILE* out);
