// The band grid: 256 bands per semitone from 13.75 Hz (an A five octaves
// below 440 Hz) up to just below an A under half the sample rate.
#pragma once

#include <QString>

#include <cstdint>
#include <vector>

struct OctaveCounts {
    double low;   // whole octaves analysed below 440 Hz
    double high;  // whole octaves analysed from 440 Hz upward
};

// How many octaves fit below 440 Hz (above 8 Hz) and from 440 Hz up to half
// the rate. Pure.
OctaveCounts count_octaves(int rate);

// The bands of one engine rate; never changed once made.
struct BandTable {
    std::uint64_t count = 0;                // B: analysis bands, 256 per semitone
    std::vector<double> freq;               // B band frequencies in Hz
    std::vector<QString> name;              // B band names ("A5", "A0.128", ...)
    std::vector<std::uint8_t> third_octave; // per group: ISO 1/3-octave band 1..31
};

// The table for rate. Ends the process with "Invalid number of octaves" when
// the rate leaves none on either side of 440 Hz.
BandTable make_band_table(int rate);
