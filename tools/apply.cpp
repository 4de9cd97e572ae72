#include "tools/apply.h"

#include <sndfile.h>
#include <soxr.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "dsp/fast_fir.h"
#include "engine/wave_file.h"
#include "engine/wave_format.h"

namespace {

// The program's blocks and ring.
constexpr uint32_t kBlock = WAVE_BLOCK_SAMPLES;
constexpr int kRate = WAVE_SAMPLE_RATE;
constexpr size_t kChunk = 1 << 18;  // samples read at a time, about

std::string errnoText() {
    return std::strerror(errno);
}

uint32_t le32(const unsigned char* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t be32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}

// The frames a WAV or AIFF file's header promises; 0 when it does not say or cannot be read here.
// libsndfile quietly shrinks the count to what a cut file holds, which would pass for the whole sound.
uint64_t promisedFrames(int fd, const SF_INFO& info) {
    unsigned char head[12];
    if (::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head)) return 0;
    const int type = info.format & SF_FORMAT_TYPEMASK;
    const bool riff = !std::memcmp(head, "RIFF", 4) || !std::memcmp(head, "RIFX", 4) || !std::memcmp(head, "RF64", 4);
    const bool aiff =
        !std::memcmp(head, "FORM", 4) && (!std::memcmp(head + 8, "AIFF", 4) || !std::memcmp(head + 8, "AIFC", 4));
    if (riff ? std::memcmp(head + 8, "WAVE", 4) ||
                   (type != SF_FORMAT_WAV && type != SF_FORMAT_WAVEX && type != SF_FORMAT_RF64)
             : !aiff || type != SF_FORMAT_AIFF)
        return 0;
    const bool big = aiff || !std::memcmp(head, "RIFX", 4);
    // Frames follow from the data's size only where every frame takes the same bytes.
    const int subtype = info.format & SF_FORMAT_SUBMASK;
    const bool fixed = subtype == SF_FORMAT_PCM_S8 || subtype == SF_FORMAT_PCM_U8 || subtype == SF_FORMAT_PCM_16 ||
                       subtype == SF_FORMAT_PCM_24 || subtype == SF_FORMAT_PCM_32 || subtype == SF_FORMAT_FLOAT ||
                       subtype == SF_FORMAT_DOUBLE || subtype == SF_FORMAT_ULAW || subtype == SF_FORMAT_ALAW;
    uint64_t ds64Data = 0, frameBytes = 0;
    off_t at = 12;
    for (int chunks = 0; chunks < 1000; ++chunks) {
        unsigned char chunk[24];
        const ssize_t got = ::pread(fd, chunk, sizeof chunk, at);
        if (got < 8) return 0;
        const uint32_t size = big ? be32(chunk + 4) : le32(chunk + 4);
        const unsigned char* body = chunk + 8;
        const ssize_t have = got - 8;
        if (aiff && !std::memcmp(chunk, "COMM", 4)) return have >= 6 ? be32(body + 2) : 0;
        if (riff && !std::memcmp(chunk, "ds64", 4) && have >= 16)
            ds64Data = le32(body + 8) | static_cast<uint64_t>(le32(body + 12)) << 32;
        if (riff && !std::memcmp(chunk, "fmt ", 4) && have >= 14)
            frameBytes = big ? (body[12] << 8 | body[13]) : (body[12] | body[13] << 8);
        if (riff && !std::memcmp(chunk, "data", 4)) {
            // 0 or all ones: written on the fly, the size never filled in (RF64: in ds64).
            const uint64_t bytes = size == 0xFFFFFFFFu && ds64Data ? ds64Data : size == 0xFFFFFFFFu ? 0 : size;
            return fixed && frameBytes > 0 ? bytes / frameBytes : 0;
        }
        at += 8 + static_cast<off_t>(size) + (size & 1);
    }
    return 0;
}

// The input as 16-bit mono 11025 Hz samples, converted on the way when it is anything else.
class Input {
public:
    ~Input() {
        if (m_resampler) soxr_delete(m_resampler);
        if (m_file) sf_close(m_file);
    }

    bool open(const std::string& path, std::string& error) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0) return error = "cannot read " + path + ": " + errnoText(), false;
        if (S_ISDIR(st.st_mode)) return error = path + " is a directory, not a sound file", false;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return error = "cannot read " + path + ": " + errnoText(), false;
        if (S_ISREG(st.st_mode) && st.st_size == 0) {
            ::close(fd);
            return error = path + " is empty", false;
        }
        m_path = path;
        m_file = sf_open_fd(fd, SFM_READ, &m_info, SF_TRUE);
        if (!m_file)
            return error = path + " is not a sound file this tool can read (" + sf_strerror(nullptr) + ")", false;
        const uint64_t promised = S_ISREG(st.st_mode) ? promisedFrames(fd, m_info) : 0;
        if (m_info.frames >= 0 && promised > static_cast<uint64_t>(m_info.frames))
            return error = path + " is cut short: its header promises " + std::to_string(promised) +
                           " samples, the file holds " + std::to_string(m_info.frames),
                   false;
        // Some streams (a cut Ogg file) do not say how long they are.
        m_lengthKnown = m_info.frames != SF_COUNT_MAX;
        if (m_info.frames <= 0 || m_info.channels <= 0 || m_info.samplerate <= 0)
            return error = path + " holds no samples", false;

        const int subtype = m_info.format & SF_FORMAT_SUBMASK;
        m_exact = m_info.channels == 1 && m_info.samplerate == kRate && subtype == SF_FORMAT_PCM_16;
        if (m_exact) {
            m_total = m_lengthKnown ? static_cast<uint64_t>(m_info.frames) : 0;
            return true;
        }
        std::string what;
        if (m_info.channels != 1) what = std::to_string(m_info.channels) + " channels averaged";
        if (m_info.samplerate != kRate) {
            if (!what.empty()) what += ", ";
            what += "resampled from " + std::to_string(m_info.samplerate) + " Hz to 11025 Hz";
            soxr_error_t e = nullptr;
            const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
            const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
            m_resampler = soxr_create(m_info.samplerate, kRate, 1, &e, &io, &quality, nullptr);
            if (!m_resampler) return error = std::string("cannot resample: ") + (e ? e : "no resampler"), false;
            e = soxr_set_input_fn(m_resampler, supply, this, kChunk);
            if (e) return error = std::string("cannot resample: ") + e, false;
        }
        if (subtype != SF_FORMAT_PCM_16) {
            SF_FORMAT_INFO format{};
            format.format = subtype;
            const bool named = sf_command(nullptr, SFC_GET_FORMAT_INFO, &format, sizeof format) == 0 && format.name;
            if (!what.empty()) what += ", ";
            what += std::string(named ? format.name : "samples") + " rounded to 16 bits";
        }
        m_conversion = what;
        if (m_lengthKnown)
            m_total =
                m_resampler
                    ? static_cast<uint64_t>(std::ceil(static_cast<double>(m_info.frames) * kRate / m_info.samplerate))
                    : static_cast<uint64_t>(m_info.frames);
        return true;
    }

    // Empty when the samples go through unchanged.
    const std::string& conversion() const { return m_conversion; }
    // Samples the output will hold, at most (a resampler may give one fewer); 0 when the input does not say.
    uint64_t total() const { return m_total; }

    // After the last sample: why the input ended before its end, if it did.
    bool endedEarly(std::string& error) const {
        if (sf_error(m_file) != SF_ERR_NO_ERROR) {
            error =
                "cannot read " + m_path + " after " + std::to_string(m_framesRead) + " samples: " + sf_strerror(m_file);
            return true;
        }
        if (m_lengthKnown && m_framesRead < m_info.frames) {
            error = m_path + " ends after " + std::to_string(m_framesRead) + " of its " +
                    std::to_string(m_info.frames) + " samples: it is cut short or damaged";
            return true;
        }
        return false;
    }

    // Fills out with up to n samples; fewer only at the end of the input.
    size_t read(int16_t* out, size_t n) {
        size_t got = 0;
        if (m_exact) {
            while (got < n) {
                const sf_count_t k = sf_readf_short(m_file, out + got, static_cast<sf_count_t>(n - got));
                if (k <= 0) break;
                got += static_cast<size_t>(k);
                m_framesRead += k;
            }
        } else {
            m_converted.resize(n);
            while (got < n) {
                const size_t k = m_resampler ? soxr_output(m_resampler, m_converted.data() + got, n - got)
                                             : mono(m_converted.data() + got, n - got);
                if (k == 0) break;
                got += k;
            }
            for (size_t i = 0; i < got; ++i) out[i] = toSample(m_converted[i]);
        }
        // Never more than announced, whatever the resampler's flush adds.
        if (m_total > 0 && m_produced + got > m_total) got = static_cast<size_t>(m_total - m_produced);
        m_produced += got;
        return got;
    }

private:
    static constexpr size_t kChunk = 16384;

    static int16_t toSample(double v) {
        const double s = std::nearbyint(v * 32768.0);
        if (!(s > -32768.0)) return s < 0 ? -32768 : 0;  // NaN gives silence
        return s > 32767.0 ? 32767 : static_cast<int16_t>(s);
    }

    // Up to n frames read and averaged to one channel, in the -1..1 scale of libsndfile.
    size_t mono(double* out, size_t n) {
        const int channels = m_info.channels;
        m_frames.resize(n * static_cast<size_t>(channels));
        const sf_count_t k = sf_readf_double(m_file, m_frames.data(), static_cast<sf_count_t>(n));
        if (k <= 0) return 0;
        m_framesRead += k;
        for (sf_count_t i = 0; i < k; ++i) {
            double sum = 0.0;
            for (int c = 0; c < channels; ++c) sum += m_frames[static_cast<size_t>(i * channels + c)];
            out[i] = sum / channels;
        }
        return static_cast<size_t>(k);
    }

    static size_t supply(void* self, soxr_in_t* data, size_t requested) {
        auto* input = static_cast<Input*>(self);
        input->m_mono.resize(std::min(requested, kChunk));
        *data = input->m_mono.data();
        return input->mono(input->m_mono.data(), input->m_mono.size());
    }

    SNDFILE* m_file = nullptr;
    SF_INFO m_info{};
    soxr_t m_resampler = nullptr;
    std::string m_path;
    bool m_exact = false;
    bool m_lengthKnown = false;
    sf_count_t m_framesRead = 0;
    uint64_t m_total = 0;
    uint64_t m_produced = 0;
    std::string m_conversion;
    std::vector<double> m_frames, m_mono, m_converted;
};

// The signals that end a process unless told otherwise and that someone may send the tool while it works.
// Each removes the output's temporary file, then meets the action the tool found in place (ending the tool,
// as a rule). A signal its caller ignores (nohup, a background job of a script) stays ignored.
constexpr int kEndingSignals[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,   SIGALRM, SIGUSR1,
                                  SIGUSR2, SIGPIPE, SIGXCPU, SIGVTALRM, SIGPROF};
constexpr int kEndingCount = sizeof kEndingSignals / sizeof kEndingSignals[0];
struct sigaction g_inherited[kEndingCount];
bool g_handled[kEndingCount];

// The output's temporary file, in the folder g_tempDir: removed unless committed, also when the tool is
// interrupted.
char g_tempName[NAME_MAX + 1];
volatile sig_atomic_t g_tempDir = -1;
volatile sig_atomic_t g_tempExists = 0;

void removeTempAndEnd(int signal) {
    if (g_tempExists) ::unlinkat(g_tempDir, g_tempName, 0);
    g_tempExists = 0;
    for (int i = 0; i < kEndingCount; ++i)
        if (kEndingSignals[i] == signal) ::sigaction(signal, &g_inherited[i], nullptr);
    // Blocked while this handler runs: it takes the inherited action as the handler returns.
    ::raise(signal);
}

// Holds the ending signals back while the temporary file and the handlers change together.
class EndingSignalsHeld {
public:
    EndingSignalsHeld() {
        sigset_t set;
        sigemptyset(&set);
        for (int s : kEndingSignals) sigaddset(&set, s);
        pthread_sigmask(SIG_BLOCK, &set, &m_saved);
    }
    ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &m_saved, nullptr); }

private:
    sigset_t m_saved;
};

void handleEndingSignals() {
    struct sigaction action = {};
    action.sa_handler = removeTempAndEnd;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int s : kEndingSignals) sigaddset(&action.sa_mask, s);
    for (int i = 0; i < kEndingCount; ++i) {
        ::sigaction(kEndingSignals[i], nullptr, &g_inherited[i]);
        const struct sigaction& was = g_inherited[i];
        g_handled[i] = (was.sa_flags & SA_SIGINFO) || was.sa_handler != SIG_IGN;
        if (g_handled[i]) ::sigaction(kEndingSignals[i], &action, nullptr);
    }
}

void restoreEndingSignals() {
    for (int i = 0; i < kEndingCount; ++i)
        if (g_handled[i]) ::sigaction(kEndingSignals[i], &g_inherited[i], nullptr);
}

// Where the output goes: the folder, held open, and the name in it of the file the output replaces.
struct Destination {
    ~Destination() {
        if (dir >= 0) ::close(dir);
    }
    int dir = -1;
    bool syncable = false;  // the folder is open for reading, so it can be synced
    std::string name;
    bool exists = false;
    struct stat st = {};  // of the file replaced
};

std::string folderOf(const std::filesystem::path& path) {
    return path.has_parent_path() ? path.parent_path().string() : std::string(".");
}

// A symbolic link OUT is followed by the kernel, as any program's open would follow it, so the kernel's own
// refusals hold (fs.protected_symlinks, loops). A link someone else planted in a sticky world-writable folder
// (/tmp) is refused also where that protection is off: root would otherwise replace the file it names.
// A link that names no file is refused. False with the reason when OUT cannot be written.
bool findDestination(const std::string& output, Destination& d, std::string& error) {
    auto fail = [&](const std::string& why) { return error = "cannot write " + output + ": " + why, false; };
    std::filesystem::path place(output);
    struct stat st;
    if (::lstat(output.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        struct stat folder;
        if (::stat(folderOf(place).c_str(), &folder) != 0) return fail(errnoText());
        if ((folder.st_mode & S_ISVTX) && (folder.st_mode & S_IWOTH) && st.st_uid != ::geteuid() &&
            st.st_uid != folder.st_uid)
            return fail("it is a symbolic link another user made in a shared folder, not followed");
        const int fd = ::open(output.c_str(), O_PATH | O_CLOEXEC);
        if (fd < 0) return fail(errno == ENOENT ? "it is a symbolic link to no file" : errnoText());
        char resolved[PATH_MAX];
        const ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), resolved, sizeof resolved - 1);
        const int readError = errno;
        const int statError = ::fstat(fd, &d.st) == 0 ? 0 : errno;
        ::close(fd);
        if (n <= 0 || resolved[0] != '/')
            return fail("cannot follow its link: " + std::string(std::strerror(readError)));
        if (statError) return fail(std::strerror(statError));
        place = std::string(resolved, static_cast<size_t>(n));
        d.exists = true;
    } else if (::lstat(output.c_str(), &st) == 0) {
        d.st = st;
        d.exists = true;
    } else if (errno != ENOENT && errno != ENAMETOOLONG) {  // a name too long is told in detail later
        return fail(errnoText());
    }
    d.name = place.filename().string();
    if (d.name.empty() || d.name == "." || d.name == "..") return fail("name a file");
    const std::string folder = folderOf(place);
    d.dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    d.syncable = d.dir >= 0;
    if (d.dir < 0 && errno == EACCES) d.dir = ::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (d.dir < 0) return fail(errnoText());
    // The file found must be the one in that folder under that name.
    if (d.exists && (::fstatat(d.dir, d.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != d.st.st_dev ||
                     st.st_ino != d.st.st_ino))
        return fail("it changed while it was looked up");
    return true;
}

// The output's temporary file beside the file it replaces: private while it is written, and written only
// through its descriptor, never opened again by name.
class TempOutput {
public:
    ~TempOutput() { discard(); }

    // output: the name as given, for messages.
    bool create(const Destination& d, const std::string& output, std::string& error) {
        const long nameMax = ::fpathconf(d.dir, _PC_NAME_MAX);
        const size_t maxName = nameMax > 0 && nameMax <= NAME_MAX ? static_cast<size_t>(nameMax) : NAME_MAX;
        std::string name = d.name;
        if (name.size() > maxName)
            return error = "cannot write " + output + ": file name too long (" + std::to_string(name.size()) +
                           " bytes, at most " + std::to_string(maxName) + ")",
                   false;
        // A name near the limit leaves no room for the temporary file's dot and suffix: it takes a shorter
        // one, cut where no UTF-8 character is split.
        size_t keep = std::min(name.size(), maxName - 8);
        while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
        name.resize(keep);
        static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100; ++attempt) {
            unsigned char random[6];
            if (::getentropy(random, sizeof random) != 0)
                return error = "cannot write " + output + ": " + errnoText(), false;
            std::string temp = "." + name + ".";
            for (unsigned char r : random) temp += letters[r % (sizeof letters - 1)];
            EndingSignalsHeld held;
            m_fd = ::openat(d.dir, temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (m_fd < 0 && errno == EEXIST) continue;
            if (m_fd < 0) break;
            std::memcpy(g_tempName, temp.c_str(), temp.size() + 1);
            g_tempDir = d.dir;
            g_tempExists = 1;
            handleEndingSignals();
            if (::fstat(m_fd, &m_st) != 0) return error = "cannot write " + output + ": " + errnoText(), false;
            return true;
        }
        return error = "cannot create a file in " + folderOf(output) + ": " + errnoText(), false;
    }

    int fd() const { return m_fd; }

    // The finished file, on disk, takes the replaced file's owner, group and mode (or those of a new file),
    // then its name; the folder is synced so that the new name lasts too.
    bool commit(const Destination& d, const std::string& output, std::string& error) {
        auto fail = [&](const std::string& why) { return error = "cannot write " + output + ": " + why, false; };
        mode_t mode;
        if (d.exists) {
            if ((d.st.st_uid != m_st.st_uid || d.st.st_gid != m_st.st_gid) &&
                ::fchown(m_fd, d.st.st_uid, d.st.st_gid) != 0 && (::geteuid() == 0 || errno != EPERM))
                return fail(errnoText());
            mode = d.st.st_mode & 0777;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            mode = 0666 & ~mask;
        }
        if (::fchmod(m_fd, mode) != 0 || ::fsync(m_fd) != 0) return fail(errnoText());
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0) return fail(errnoText());
        EndingSignalsHeld held;
        struct stat st;
        if (::fstatat(d.dir, g_tempName, &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != m_st.st_dev ||
            st.st_ino != m_st.st_ino)
            return fail(std::string("its temporary file ") + g_tempName + " was replaced while the tool ran");
        if (::renameat(d.dir, g_tempName, d.dir, d.name.c_str()) != 0) return fail(errnoText());
        release();
        if (d.syncable && ::fsync(d.dir) != 0 && errno != EINVAL && errno != EROFS) return fail(errnoText());
        return true;
    }

    void discard() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
        EndingSignalsHeld held;
        if (g_tempExists) ::unlinkat(g_tempDir, g_tempName, 0);
        release();
    }

private:
    void release() {
        if (!g_tempExists) return;
        g_tempExists = 0;
        restoreEndingSignals();
    }

    int m_fd = -1;
    struct stat m_st = {};
};

// The formats the output's name can ask for. WAV is the program's own layout; the others go through
// libsndfile at the program's rate and sample size, lossless but for Ogg Vorbis.
struct OutputFormat {
    const char* extension;
    int sndfileFormat;  // 0: the program's WAV writer
    const char* name;
    uint64_t maxSamples;  // what 32-bit chunk sizes can hold; 0: no limit
};
constexpr uint64_t kChunkedMaxSamples = WAVE_FILE_MAX_DATA_BYTES / 2;
const OutputFormat kOutputFormats[] = {
    {".wav", 0, "a WAV file", kChunkedMaxSamples},
    {".flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_16, "a FLAC file", 0},
    {".ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, "an Ogg file", 0},
    {".aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "an AIFF file", kChunkedMaxSamples},
    {".aif", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, "an AIFF file", kChunkedMaxSamples},
};

const OutputFormat* outputFormat(const std::string& output) {
    std::string extension = std::filesystem::path(output).extension().string();
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const OutputFormat& format : kOutputFormats)
        if (extension == format.extension) return &format;
    return nullptr;
}

// The output file in the chosen format: 16-bit mono samples at the program's rate.
class Output {
public:
    ~Output() {
        if (m_waveOpen) WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0);
        if (m_file) sf_close(m_file);
    }

    // Writes on fd, which stays open.
    bool open(const OutputFormat& format, int fd) {
        m_format = &format;
        if (!format.sndfileFormat) return m_waveOpen = WaveFileCreateOn(fd) == 0;
        SF_INFO info{};
        info.samplerate = kRate;
        info.channels = 1;
        info.format = format.sndfileFormat;
        m_file = sf_open_fd(fd, SFM_WRITE, &info, SF_FALSE);
        if (!m_file) return m_reason = sf_strerror(nullptr), false;
        double quality = 1.0;  // Vorbis at its best: the nearest it comes to the filter's exact output
        if ((format.sndfileFormat & SF_FORMAT_SUBMASK) == SF_FORMAT_VORBIS)
            sf_command(m_file, SFC_SET_VBR_ENCODING_QUALITY, &quality, sizeof quality);
        m_fd = fd;
        return true;
    }

    bool write(const int16_t* samples, size_t n) {
        if (!m_format->sndfileFormat) return WaveFile(WAVE_FILE_WRITE, nullptr, samples, static_cast<int>(2 * n)) == 0;
        errno = 0;
        if (sf_write_short(m_file, samples, static_cast<sf_count_t>(n)) == static_cast<sf_count_t>(n)) {
            m_written += n;
            return true;
        }
        m_reason = errno ? errnoText() : sf_strerror(m_file);
        return false;
    }

    // libsndfile does not report what fails as it finishes a file, so the file is read back: it must hold
    // every sample written.
    bool close() {
        if (m_waveOpen) {
            m_waveOpen = false;
            return WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0) == 0;
        }
        if (!m_file) return true;
        sf_close(m_file);
        m_file = nullptr;
        SF_INFO info{};
        const int back = ::lseek(m_fd, 0, SEEK_SET) == 0 ? ::fcntl(m_fd, F_DUPFD_CLOEXEC, 0) : -1;
        SNDFILE* file = back >= 0 ? sf_open_fd(back, SFM_READ, &info, SF_TRUE) : nullptr;
        if (back >= 0 && !file) ::close(back);
        const bool whole = file && info.frames == static_cast<sf_count_t>(m_written);
        if (file) sf_close(file);
        if (!whole) m_reason = "it could not be finished (is the disk full?)";
        return whole;
    }

    // Why the last step failed.
    std::string reason() const { return m_reason.empty() ? errnoText() : m_reason; }

private:
    const OutputFormat* m_format = nullptr;
    bool m_waveOpen = false;
    SNDFILE* m_file = nullptr;
    int m_fd = -1;
    uint64_t m_written = 0;
    std::string m_reason;
};

std::string tooLong(const std::string& input, const OutputFormat& format) {
    return input + " is too long: the output would pass the 4 GiB " + format.name + " can hold (54 hours at 11025 Hz)";
}

unsigned processors() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    return std::max(1u, std::thread::hardware_concurrency());
}

// n samples in parts of `part`, each part on a thread of its own (the first on this one). Returns how many
// samples were summed tap by tap and adds those clipped. What fails in a part (no memory) is thrown here once
// every thread has ended.
uint64_t filterParts(const FastFir& fir, const int16_t* x, size_t n, int16_t* out, size_t part, uint64_t& clipped) {
    const size_t parts = (n + part - 1) / part;
    std::vector<size_t> tapByTap(parts, 0), clips(parts, 0);
    std::vector<std::exception_ptr> failed(parts);
    auto run = [&](size_t p) {
        try {
            tapByTap[p] = fir.Filter(x + p * part, std::min(part, n - p * part), out + p * part, &clips[p]);
        } catch (...) {
            failed[p] = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(parts);
    for (size_t p = 1; p < parts; ++p) {
        try {
            threads.emplace_back(run, p);
        } catch (const std::system_error&) {  // no thread to be had: this one does the part
            run(p);
        } catch (const std::bad_alloc&) {
            run(p);
        }
    }
    run(0);
    for (std::thread& t : threads) t.join();
    for (const std::exception_ptr& e : failed)
        if (e) std::rethrow_exception(e);
    uint64_t sum = 0;
    for (size_t p = 0; p < parts; ++p) {
        sum += tapByTap[p];
        clipped += clips[p];
    }
    return sum;
}

bool sameFile(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

}  // namespace

bool ApplyFilter(const ApplyJob& job, std::string& error, ApplyCount* count) {
    if (job.output.empty()) return error = "name the output file", false;
    struct stat st;
    if (::stat(job.output.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return error = job.output + " is a directory", false;
    const OutputFormat* format = outputFormat(job.output);
    if (!format)
        return error = job.output + ": name the output .wav (the program's own format), .flac, .ogg or .aiff", false;
    Destination destination;
    if (!findDestination(job.output, destination, error)) return false;
    // A device or a pipe would be replaced by a file, not written.
    if (destination.exists && !S_ISREG(destination.st.st_mode))
        return error = job.output + " is not a regular file: write the filtered sound to a file", false;
    if (sameFile(job.input, job.output))
        return error = job.output + " is both input and output: write the filtered sound to another file", false;

    Input input;
    if (!input.open(job.input, error)) return false;
    const uint64_t limit = job.maxSamples ? job.maxSamples : format->maxSamples;
    if (limit && input.total() > limit) return error = tooLong(job.input, *format), false;
    if (!input.conversion().empty() && job.converted) job.converted(input.conversion());

    TempOutput temp;
    if (!temp.create(destination, job.output, error)) return false;
    Output output;
    if (!output.open(*format, temp.fd())) return error = "cannot write " + job.output + ": " + output.reason(), false;

    // The same sums as the program's ring of 2048-sample blocks from a silent history: the taps reach
    // count - 1 samples back, kept before each chunk. Parts of a chunk are whole transforms.
    const FastFir fir(job.coefficients, job.count);
    const unsigned jobs = job.jobs > 0 ? job.jobs : processors();
    const size_t history = job.count > 0 ? job.count - 1 : 0;
    const size_t stride = fir.Stride() > 0 ? fir.Stride() : kBlock;
    // A short input needs a chunk no longer than itself.
    const size_t want = input.total() > 0 ? std::min<uint64_t>(input.total(), kChunk) : kChunk;
    const size_t chunk = std::max<size_t>((want / jobs + stride - 1) / stride, 1) * stride * jobs;
    std::vector<int16_t> in(history + chunk), out(chunk);
    uint64_t done = 0, tapByTap = 0, clipped = 0;
    for (;;) {
        const size_t n = input.read(in.data() + history, chunk);
        if (n == 0) break;
        if (limit && done + n > limit) return error = tooLong(job.input, *format), false;
        const size_t part = ((n + jobs - 1) / jobs + stride - 1) / stride * stride;
        tapByTap += filterParts(fir, in.data() + history, n, out.data(), part, clipped);
        if (!output.write(out.data(), n)) return error = "cannot write " + job.output + ": " + output.reason(), false;
        done += n;
        if (job.progress) job.progress(done, input.total());
        if (n < chunk) break;
        std::memmove(in.data(), in.data() + n, history * sizeof(int16_t));
    }
    if (!output.close()) return error = "cannot write " + job.output + ": " + output.reason(), false;
    if (input.endedEarly(error)) return false;
    if (done == 0) return error = job.input + " holds no samples", false;
    if (!temp.commit(destination, job.output, error)) return false;
    if (count) *count = {done, tapByTap, clipped};
    return true;
}
