#pragma once
#include <cstddef>

#include "scsi/aspi_transport.h"

// A failed command's outcome in words, for console lines and reports, for example
// "MEDIUM ERROR, unrecovered read error (03h/11h/00h)" or "no device at the address".
void scsi_status_words(ScsiStatus status, char* text, size_t size);
