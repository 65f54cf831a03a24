// The band grid: 256 bands per semitone from 13.75 Hz (an A five octaves
// below 440 Hz) up to just below an A under half the sample rate.
#pragma once

#include <cstdint>

struct OctaveCounts {
    double low;   // whole octaves analysed below 440 Hz
    double high;  // whole octaves analysed from 440 Hz upward
};

// How many octaves fit below 440 Hz (above 8 Hz) and from 440 Hz up to half
// the rate. Pure.
OctaveCounts count_octaves(int rate);

// Start-up, main thread: initialise tone_queue, fill band_count, band_freq and
// band_name for sample_rate, then start worker_count tone-detector threads.
// Ends the process with "Invalid number of octaves" when the rate leaves
// none on either side.
void band_table_setup();
