// Preloaded into the tool by one test: every read of a sound file fails with an exception the tool does not
// expect, as an allocation deep inside would.
#include <sndfile.h>

#include <new>

extern "C" sf_count_t sf_readf_short(SNDFILE*, short*, sf_count_t) {
    throw std::bad_alloc();
}
