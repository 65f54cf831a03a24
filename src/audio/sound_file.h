// A sound file as a stream of frames at the server's 48000 Hz: libsndfile
// reads every format it knows, two of the file's channels are kept, and a
// file at another rate goes through libsoxr (high quality) on the way.
// Reads a chunk at a time, so memory stays bounded whatever the file's
// length. One thread per reader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct sf_private_tag;
struct soxr;

class SoundFile {
public:
    SoundFile() = default;
    SoundFile(const SoundFile &) = delete;
    SoundFile &operator=(const SoundFile &) = delete;
    ~SoundFile();

    // Opens path and keeps channels first and second (1-based; they may be
    // the same). On failure returns false and error() says why: the
    // system's reason for a file that cannot be opened, libsndfile's for one
    // it cannot read, or the file's channel count for a channel it lacks.
    bool open(const std::string &path, int first, int second);

    // Up to max frames of the two kept channels at 48000 Hz into first and
    // second; returns how many, 0 once the file is done. A read error ends
    // the stream early and is left in error().
    std::uint32_t read(float *first, float *second, std::uint32_t max);

    const std::string &error() const { return error_; }
    int rate() const { return rate_; }              // the file's rate in Hz
    std::int64_t frames() const { return frames_; } // the file's length at its own rate
    std::int64_t frames_read() const { return read_; }  // frames taken from the file so far
    // For a file that ends before its header said: the length the header gave,
    // in frames at the file's rate (frames() is then what is there), or
    // UNKNOWN_END for an Ogg stream cut off before its last page, which is
    // where Ogg keeps its length. 0 for a whole file, and for a pipe.
    static constexpr std::int64_t UNKNOWN_END = -1;
    std::int64_t promised_frames() const { return promised_; }

private:
    // Refill out_ from the file (through the resampler when there is one);
    // false once nothing more comes.
    bool refill();
    // The next chunk of the file into pair_; its frame count, 0 at the end.
    std::size_t read_chunk();

    sf_private_tag *file_ = nullptr;
    soxr *resampler_ = nullptr;
    std::string error_;
    int channels_ = 0;
    int rate_ = 0;
    int first_ = 0;                 // 0-based kept channels
    int second_ = 0;
    std::int64_t frames_ = 0;
    std::int64_t read_ = 0;
    std::int64_t promised_ = 0;
    bool file_done_ = false;
    bool flushed_ = false;          // the resampler has given out its tail
    std::vector<float> raw_;        // one chunk of the file, all channels
    std::vector<float> pair_;       // the two kept channels, interleaved
    std::size_t in_pos_ = 0;        // next frame of pair_ for the resampler
    std::size_t in_len_ = 0;        // frames in pair_
    std::vector<float> out_;        // 48000 Hz frames, interleaved pairs
    std::size_t out_pos_ = 0;       // next frame of out_ to hand out
    std::size_t out_len_ = 0;       // frames in out_
};
