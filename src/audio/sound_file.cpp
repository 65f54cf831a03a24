#include "audio/sound_file.h"

#include "engine/engine_types.h"

#include <fcntl.h>
#include <sndfile.h>
#include <soxr.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace {

constexpr std::size_t CHUNK_FRAMES = 4096;
constexpr int KEPT_CHANNELS = 2;
// Output room per resampler call: a chunk from 8000 Hz up, with room to
// spare; from a lower rate a chunk simply takes several calls.
constexpr std::size_t OUT_FRAMES = CHUNK_FRAMES * 8;
constexpr std::size_t LOG_CHARS = 16384;  // room for libsndfile's log of a header
// The data size a recorder that cannot go back writes: no length at all.
constexpr long long STREAMED_SIZE = 0xFFFFFFFF;

// libsndfile reads a file shorter than its header says as far as it goes,
// and logs the data chunk's size as "data : 768000 (should be 199920)"
// ("SSND" in AIFF): the header's length is frames in that ratio. An Ogg
// stream tells its length by its last page, so one cut off has none.
std::int64_t promised_length(SNDFILE *file, const SF_INFO &info, bool regular)
{
    if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG)
        return regular && info.frames == SF_COUNT_MAX ? SoundFile::UNKNOWN_END : 0;
    std::string log(LOG_CHARS, '\0');
    sf_command(file, SFC_GET_LOG_INFO, log.data(), static_cast<int>(log.size()));
    std::istringstream lines(log.c_str());
    for (std::string line; std::getline(lines, line);) {
        line.erase(0, line.find_first_not_of(' '));  // AIFF's chunks are indented
        long long said = 0;
        long long there = 0;
        if ((line.starts_with("data :") || line.starts_with("SSND :"))
            && std::sscanf(line.c_str() + 6, "%lld (should be %lld)", &said, &there) == 2 && there > 0
            && said > there && said != STREAMED_SIZE)
            return static_cast<std::int64_t>(static_cast<double>(info.frames) * static_cast<double>(said)
                                             / static_cast<double>(there));
    }
    return 0;
}

}  // namespace

SoundFile::~SoundFile()
{
    if (resampler_ != nullptr)
        soxr_delete(resampler_);
    if (file_ != nullptr)
        sf_close(file_);
}

bool SoundFile::open(const std::string &path, int first, int second)
{
    // The system's reason first: libsndfile words a missing file its own way.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
    }
    SF_INFO info{};
    file_ = sf_open_fd(fd, SFM_READ, &info, SF_TRUE);
    if (file_ == nullptr) {
        error_ = sf_strerror(nullptr);
        return false;
    }
    struct stat status {};
    promised_ = promised_length(file_, info, fstat(fd, &status) == 0 && S_ISREG(status.st_mode));
    channels_ = info.channels;
    rate_ = info.samplerate;
    frames_ = info.frames;
    for (const int channel : {first, second}) {
        if (channel < 1 || channel > channels_) {
            error_ = "has " + std::to_string(channels_) + (channels_ == 1 ? " channel" : " channels")
                + ", no channel " + std::to_string(channel);
            return false;
        }
    }
    first_ = first - 1;
    second_ = second - 1;
    raw_.resize(CHUNK_FRAMES * static_cast<std::size_t>(channels_));
    pair_.resize(CHUNK_FRAMES * KEPT_CHANNELS);
    if (rate_ != SERVER_RATE) {
        soxr_error_t failure = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
        resampler_ = soxr_create(rate_, SERVER_RATE, KEPT_CHANNELS, &failure, &io, &quality, nullptr);
        if (resampler_ == nullptr) {
            error_ = failure != nullptr ? failure : "cannot convert the rate";
            return false;
        }
        out_.resize(OUT_FRAMES * KEPT_CHANNELS);
    }
    return true;
}

std::size_t SoundFile::read_chunk()
{
    if (file_done_)
        return 0;
    const auto got = static_cast<std::size_t>(sf_readf_float(file_, raw_.data(), CHUNK_FRAMES));
    if (got == 0) {
        file_done_ = true;
        if (sf_error(file_) != SF_ERR_NO_ERROR)
            error_ = sf_strerror(file_);
    }
    read_ += static_cast<std::int64_t>(got);
    const auto channels = static_cast<std::size_t>(channels_);
    for (std::size_t f = 0; f < got; f++) {
        pair_[KEPT_CHANNELS * f] = raw_[f * channels + static_cast<std::size_t>(first_)];
        pair_[KEPT_CHANNELS * f + 1] = raw_[f * channels + static_cast<std::size_t>(second_)];
    }
    return got;
}

bool SoundFile::refill()
{
    out_pos_ = 0;
    out_len_ = 0;
    if (resampler_ == nullptr) {
        const std::size_t got = read_chunk();
        out_.swap(pair_);
        pair_.resize(CHUNK_FRAMES * KEPT_CHANNELS);
        out_len_ = got;
        return got != 0;
    }
    while (out_len_ == 0) {
        if (in_pos_ == in_len_) {
            in_pos_ = 0;
            in_len_ = read_chunk();
        }
        if (in_len_ == 0 && flushed_)
            return false;
        // A null input asks the resampler for what it still holds. At a
        // high ratio it may leave input over for the next call.
        std::size_t done_in = 0;
        std::size_t done_out = 0;
        const soxr_error_t failure =
            soxr_process(resampler_, in_len_ != 0 ? pair_.data() + KEPT_CHANNELS * in_pos_ : nullptr,
                         in_len_ - in_pos_, &done_in, out_.data(), OUT_FRAMES, &done_out);
        if (failure != nullptr) {
            error_ = failure;
            return false;
        }
        in_pos_ += done_in;
        if (in_len_ == 0 && done_out == 0)
            flushed_ = true;
        out_len_ = done_out;
    }
    return true;
}

std::uint32_t SoundFile::read(float *first, float *second, std::uint32_t max)
{
    std::uint32_t n = 0;
    while (n < max) {
        if (out_pos_ == out_len_ && !refill())
            break;
        for (; n < max && out_pos_ < out_len_; n++, out_pos_++) {
            first[n] = out_[KEPT_CHANNELS * out_pos_];
            second[n] = out_[KEPT_CHANNELS * out_pos_ + 1];
        }
    }
    return n;
}
