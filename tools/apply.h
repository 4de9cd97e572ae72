#pragma once
// A sound file filtered offline exactly as the program filters what it captures.
#include <cstdint>
#include <functional>
#include <string>

struct ApplyJob {
    std::string input;  // any file libsndfile reads
    // Replaced only when all went well (through a symbolic link, the file it names; a link to no file, or one
    // another user made in a sticky world-writable folder, is refused), keeping its mode, owner and group. Its
    // extension chooses the format: .wav the program's WAV layout; .flac, .ogg (Vorbis) or .aiff (.aif).
    std::string output;
    const double* coefficients = nullptr;
    uint32_t count = 0;
    // Called once before the work when the input is not 16-bit mono 11025 Hz, with what is converted.
    std::function<void(const std::string&)> converted;
    // Called after every chunk: samples written so far and the expected total (at 11025 Hz; 0 when the
    // input does not say how long it is).
    std::function<void(uint64_t done, uint64_t total)> progress;
    // The most samples the output may hold; 0: what its format holds (4 GiB of WAV or AIFF, no limit for the
    // others). Tests set a smaller one.
    uint64_t maxSamples = 0;
    // Threads to filter with; 0: one for each processor the tool may run on.
    unsigned jobs = 0;
};

// The samples written, how many of them the FFT could not decide, so they were summed tap by tap, and how
// many were clipped: their sum, truncated, lay outside the 16-bit range.
struct ApplyCount {
    uint64_t samples = 0, tapByTap = 0, clipped = 0;
};

// 16-bit mono 11025 Hz input comes out as FirConvolve makes it, 2048 samples at a time over the program's
// 8-block ring from a silent history (FastFir computes the same samples), so the output equals what the
// program plays for it.
// Other input is first averaged to one channel, resampled to 11025 Hz and rounded to 16 bits. A signal that
// ends the tool meanwhile removes the temporary output; one its caller ignores stays ignored.
// The output holds as many samples as the (converted) input. False with one line in error otherwise
// (an input cut short or damaged included); the output is then left as it was.
bool ApplyFilter(const ApplyJob& job, std::string& error, ApplyCount* count = nullptr);
