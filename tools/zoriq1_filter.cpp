// zoriq1-filter: makes, checks and shows the filter files ZORIQ1 reads, and applies them to sound files.
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <climits>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsp/filter_bank.h"
#include "dsp/fir_file.h"
#include "engine/wave_format.h"
#include "tools/apply.h"
#include "tools/filter_files.h"
#include "tools/fir_design.h"
#include "tools/response.h"

namespace {

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string& message) {
    throw Failure{message};
}

// "--name value" options and the plain arguments between them; after "--" every argument is plain.
struct Args {
    std::map<std::string, std::string> options;
    std::vector<std::string> plain;
    bool help = false;

    Args(int argc, char** argv, int first, const std::vector<std::string>& valued) {
        bool optionsEnd = false;
        for (int i = first; i < argc; ++i) {
            const std::string a = argv[i];
            if (optionsEnd) {
                plain.push_back(a);
            } else if (a == "--") {
                optionsEnd = true;
            } else if (a == "-h" || a == "--help") {
                help = true;
            } else if (a.size() > 1 && a[0] == '-' && !std::isdigit(static_cast<unsigned char>(a[1]))) {
                const std::string name = a == "-o" ? "--output" : a;
                if (std::find(valued.begin(), valued.end(), name) == valued.end()) fail("unknown option " + a);
                if (i + 1 >= argc) fail("option " + a + " needs a value");
                options[name] = argv[++i];
            } else {
                plain.push_back(a);
            }
        }
    }
    bool has(const std::string& name) const { return options.count(name) != 0; }
    std::string text(const std::string& name, const std::string& fallback = "") const {
        auto it = options.find(name);
        return it == options.end() ? fallback : it->second;
    }
    double number(const std::string& name, double fallback) const {
        if (!has(name)) return fallback;
        const std::string& t = options.at(name);
        char* end = nullptr;
        const double v = std::strtod(t.c_str(), &end);
        if (end == t.c_str() || *end) fail("option " + name + " takes a number, not \"" + t + "\"");
        return v;
    }
    int integer(const std::string& name, int fallback) const {
        const double v = number(name, fallback);
        // Checked before the conversion: a double outside int's range does not convert.
        if (!(v >= INT_MIN && v <= INT_MAX) || v != std::trunc(v)) fail("option " + name + " takes a whole number");
        return static_cast<int>(v);
    }
    std::string output() const {
        if (!has("--output")) fail("say where to write with -o FILE");
        return text("--output");
    }
};

bool isBank(const std::string& path) {
    return std::filesystem::path(path).extension() == ".fib";
}

// A filter's coefficients from a .fir file or from a bank (--index).
std::vector<double> loadFilter(const Args& args, std::string& name) {
    const std::string& path = args.plain[0];
    std::string error;
    if (isBank(path)) {
        std::vector<BankFilter> filters;
        if (!ReadBank(path, filters, error)) fail(path + ": " + error);
        const int index = args.integer("--index", 0);
        if (index < 0 || index >= static_cast<int>(filters.size()))
            fail(path + " has no filter " + std::to_string(index) + " (it holds " + std::to_string(filters.size()) +
                 ")");
        name = filters[index].name;
        return filters[index].coefficients;
    }
    BankFilter filter;
    if (!ReadFirForBank(path, filter, error)) fail(error);
    name = filter.name;
    return filter.coefficients;
}

const char* const DESIGN_HELP = R"(usage: zoriq1-filter design TYPE --taps N [options] -o FILE.fir
Designs a linear-phase FIR filter by the windowed-sinc method and writes it as a .fir file.
  TYPE              lowpass, highpass, bandpass, bandstop, or average (a moving average)
  --cutoff HZ       the cutoff of a low-pass or high-pass filter
  --low HZ --high HZ  the band edges of a band-pass or band-stop filter
  --taps N          number of coefficients, 1 to 1000 (odd for high-pass and band-stop)
  --window W        rectangular, hann, hamming (default), blackman or kaiser
  --beta B          the Kaiser window's beta (default 8.6)
  --rate HZ         sample rate (default 11025, the program's)
  --description T   the description line (default: what the filter is)
Gain is 1 at DC (low-pass, band-stop), at the band centre (band-pass) or at Nyquist (high-pass).
)";

int design(const Args& args) {
    std::vector<double> h;
    std::string description;
    if (args.plain[0] == "average") {
        const int taps = args.integer("--taps", 0);
        if (taps < 1 || taps > FIR_MAX_COEFFICIENTS)
            fail("the number of taps must be between 1 and " + std::to_string(FIR_MAX_COEFFICIENTS));
        h.assign(taps, 1.0 / taps);
        description = "Moving average of " + std::to_string(taps) + " samples";
    } else {
        FirDesign d;
        if (!ParseBand(args.plain[0], d.band)) fail("unknown filter type \"" + args.plain[0] + "\"");
        if (args.has("--window") && !ParseWindow(args.text("--window"), d.window))
            fail("unknown window \"" + args.text("--window") + "\"");
        d.taps = args.integer("--taps", 0);
        d.beta = args.number("--beta", 8.6);
        d.rate = args.number("--rate", WAVE_SAMPLE_RATE);
        const bool twoEdges = d.band == BandType::BandPass || d.band == BandType::BandStop;
        if (twoEdges) {
            if (!args.has("--low") || !args.has("--high")) fail("a band filter needs --low and --high");
            d.f1 = args.number("--low", 0);
            d.f2 = args.number("--high", 0);
        } else {
            if (!args.has("--cutoff")) fail("a low-pass or high-pass filter needs --cutoff");
            d.f1 = args.number("--cutoff", 0);
        }
        std::string error;
        h = DesignFir(d, error);
        if (h.empty()) fail(error);
        description = DescribeFir(d);
    }
    description = args.text("--description", description);
    std::string error;
    if (!WriteFirFile(args.output(), " " + description, h, error)) fail(error);
    return 0;
}

const char* const BANK_HELP = R"(usage: zoriq1-filter bank -o FirFilter.fib FILE.fir...
Builds a filter bank from .fir files, in the order given. Each filter is named by its file's
description line, or by its file name without extension. At most 100 filters of at most 1000
coefficients each; names of at most 127 bytes. Put the bank beside the program as FirFilter.fib.
)";

int bank(const Args& args) {
    std::vector<BankFilter> filters;
    std::string error;
    for (const std::string& path : args.plain) {
        BankFilter f;
        if (!ReadFirForBank(path, f, error)) fail(error);
        filters.push_back(f);
    }
    if (!WriteBank(args.output(), filters, error)) fail(error);
    return 0;
}

const char* const LIST_HELP = R"(usage: zoriq1-filter list BANK.fib
Lists a bank's filters: index, name, coefficients.
)";

int list(const Args& args) {
    std::vector<BankFilter> filters;
    std::string error;
    if (!ReadBank(args.plain[0], filters, error)) fail(args.plain[0] + ": " + error);
    for (size_t i = 0; i < filters.size(); ++i)
        std::printf("%3zu  %-60s %4zu\n", i, filters[i].name.c_str(), filters[i].coefficients.size());
    return 0;
}

const char* const CHECK_HELP = R"(usage: zoriq1-filter check FILE
Reads a bank (.fib) or a coefficient file (.fir) with the program's own readers and says what is wrong.
)";

int check(const Args& args) {
    const std::string& path = args.plain[0];
    std::string error;
    if (isBank(path)) {
        std::vector<BankFilter> filters;
        if (!ReadBank(path, filters, error)) fail(path + ": " + error);
        std::printf("%s: %zu filters, the program lists them all\n", path.c_str(), filters.size());
    } else {
        BankFilter filter;
        if (!ReadFirForBank(path, filter, error)) fail(error);
        std::printf("%s: %zu coefficients, \"%s\"\n", path.c_str(), filter.coefficients.size(), filter.name.c_str());
    }
    return 0;
}

const char* const IMPORT_HELP = R"(usage: zoriq1-filter import FILE.txt [--description TEXT] -o FILE.fir
Turns plain coefficient text (one value per line, '#' comment lines) into a .fir file.
)";

int import(const Args& args) {
    std::vector<double> h;
    std::string error;
    if (!ImportPlainText(args.plain[0], h, error)) fail(error);
    const std::string description =
        args.text("--description", "Imported from " + std::filesystem::path(args.plain[0]).filename().string());
    if (!WriteFirFile(args.output(), " " + description, h, error)) fail(error);
    return 0;
}

const char* const RESPONSE_HELP =
    R"(usage: zoriq1-filter response FILE [--index K] [--points N] [--rate HZ] [--png OUT.png] [--stopband LO-HI]
Prints the magnitude response of a .fir file or of bank filter K (frequency in Hz, gain in dB),
optionally plots it, and with --stopband prints the largest gain between LO and HI Hz.
)";

int response(const Args& args) {
    std::string name;
    const std::vector<double> h = loadFilter(args, name);
    const double rate = args.number("--rate", WAVE_SAMPLE_RATE);
    const int points = args.integer("--points", 257);
    if (points < 2 || points > 100000) fail("--points takes 2 to 100000");
    const auto table = MagnitudeResponse(h, rate, points);
    if (args.has("--stopband")) {
        const std::string band = args.text("--stopband");
        double lo = 0, hi = 0;
        if (std::sscanf(band.c_str(), "%lf-%lf", &lo, &hi) != 2 || !(lo >= 0 && hi > lo && hi <= rate / 2))
            fail("--stopband takes LO-HI in Hz, for example 700-5512");
        std::printf("stop band %g-%g Hz: largest gain %.1f dB\n", lo, hi, MaxGainDb(h, rate, lo, hi));
    } else {
        for (const ResponsePoint& p : table) std::printf("%10.2f %9.2f\n", p.hz, p.db);
    }
    std::string error;
    if (args.has("--png") &&
        !PlotResponse(args.text("--png"), name, MagnitudeResponse(h, rate, WAVE_BLOCK_SAMPLES), rate, error))
        fail(error);
    return 0;
}

const char* const APPLY_HELP = R"(usage: zoriq1-filter apply (FILE.fir | BANK.fib --index K) [--jobs N] [--] IN OUT
Filters the sound file IN as the program filters what it captures and writes OUT, 16-bit mono
11025 Hz, in the format its name ends in: .wav the program's WAV format; .flac or .aiff, lossless;
.ogg, Ogg Vorbis at its best quality. A 16-bit mono 11025 Hz input comes out sample for sample as
the program plays it; any other input (WAV, FLAC, Ogg, AIFF, ...) is first averaged to one channel,
resampled to 11025 Hz and rounded to 16 bits. OUT is replaced only when all went well, keeping its
permissions, owner and group; a symbolic link OUT stays a link and the file it names is replaced (a
link to no file is refused, and so is one another user made in a sticky world-writable folder).
The filter runs by FFT; a sample the FFT cannot decide exactly is summed tap by tap as the program
sums it, and a last line says how many were, and how many samples were clipped to 16 bits.
"--" ends the options, for file names that begin with "-".
  --index K         the bank's filter K, counted from 0 (zoriq1-filter list BANK.fib shows them)
  --jobs N          filter with N threads, 1 to 256 (default: one per processor)
)";

// The filter exactly as the program would run it: refused whenever the program's readers refuse it.
std::vector<double> programFilter(const Args& args, const std::string& path) {
    if (!isBank(path)) {
        if (args.has("--index")) fail("--index chooses a filter of a bank (.fib), not of " + path);
        BankFilter filter;
        std::string error;
        if (!ReadFirForBank(path, filter, error)) fail(error);
        return filter.coefficients;
    }
    if (!args.has("--index")) fail("say which filter of " + path + " with --index K (zoriq1-filter list shows them)");
    const int index = args.integer("--index", 0);
    // The main window lists a bank's filters only when its whole index reads.
    static char names[FILTER_BANK_LISTED][FILTER_NAME_SIZE];
    int count = 0;
    int result = FilterBankReadIndexAt(path, FILTER_BANK_LISTED, &count, names);
    if (result != FILTER_BANK_OK) fail(path + ": " + BankReadMessage(result));
    char name[FILTER_NAME_SIZE];
    int taps = 0;
    result = FilterBankReadFilterAt(path, index, name, &taps);
    if (result == FILTER_BANK_ERR_RANGE)
        fail(path + " has no filter " + std::to_string(index) + " (it holds " + std::to_string(count) + ")");
    if (result != FILTER_BANK_OK) fail(path + ", filter " + std::to_string(index) + ": " + BankReadMessage(result));
    return std::vector<double>(BankCoefficients, BankCoefficients + BankCoefficientCount);
}

int apply(const Args& args) {
    const std::vector<double> h = programFilter(args, args.plain[0]);
    ApplyJob job;
    job.input = args.plain[1];
    job.output = args.plain[2];
    job.coefficients = h.data();
    job.count = static_cast<uint32_t>(h.size());
    if (args.has("--jobs")) {
        const int jobs = args.integer("--jobs", 0);
        if (jobs < 1 || jobs > 256) fail("--jobs takes a number of threads from 1 to 256");
        job.jobs = static_cast<unsigned>(jobs);
    }
    job.converted = [&](const std::string& what) {
        std::printf("converted %s: %s\n", job.input.c_str(), what.c_str());
        std::fflush(stdout);
    };
    // Progress only where someone watches, and only when the wait is worth it.
    int shown = -1;
    if (isatty(STDERR_FILENO)) {
        job.progress = [&](uint64_t done, uint64_t total) {
            if (total <= 10 * WAVE_SAMPLE_RATE) return;
            const int percent = static_cast<int>(100 * done / total);
            if (percent == shown) return;
            shown = percent;
            std::fprintf(stderr, "\rzoriq1-filter: %s %3d%%", job.input.c_str(), percent);
        };
    }
    std::string error;
    ApplyCount count;
    const bool ok = ApplyFilter(job, error, &count);
    if (shown >= 0) std::fputc('\n', stderr);
    if (!ok) fail(error);
    std::printf("%llu samples, %llu of them (%.3g%%) summed tap by tap, %llu clipped\n",
                static_cast<unsigned long long>(count.samples), static_cast<unsigned long long>(count.tapByTap),
                100.0 * static_cast<double>(count.tapByTap) / static_cast<double>(count.samples),
                static_cast<unsigned long long>(count.clipped));
    return 0;
}

// A command: its work, its help, the options that take a value, and how many plain arguments it takes.
struct Command {
    int (*run)(const Args&);
    const char* help;
    std::vector<std::string> valued;
    int plain;  // -1: one or more
    const char* plainHint;  // said when the count is wrong
};

const char* const HELP = R"(usage: zoriq1-filter COMMAND [options]   (COMMAND --help for each)
Makes, checks and shows the filter files ZORIQ1 reads, and applies them to sound files.
  design    design a low-pass, high-pass, band-pass, band-stop or averaging filter as a .fir file
  bank      build a filter bank (FirFilter.fib) from .fir files
  list      list the filters of a bank
  check     check a bank or a .fir file with the program's own readers
  import    turn plain one-value-per-line coefficient text into a .fir file
  response  show the magnitude response of a filter, as a table or a PNG plot
  apply     filter a sound file as the program does and write the result (WAV, FLAC, Ogg or AIFF)
)";

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C");
    // A file size limit must come back as a failed write, so the output's temporary file is removed.
    std::signal(SIGXFSZ, SIG_IGN);
    const std::map<std::string, Command> commands = {
        {"design",
         {design,
          DESIGN_HELP,
          {"--cutoff", "--low", "--high", "--taps", "--window", "--beta", "--rate", "--description", "--output"},
          1,
          "name one filter type: lowpass, highpass, bandpass, bandstop or average"}},
        {"bank", {bank, BANK_HELP, {"--output"}, -1, "name the .fir files to put in the bank"}},
        {"list", {list, LIST_HELP, {}, 1, "name one bank"}},
        {"check", {check, CHECK_HELP, {}, 1, "name one .fib or .fir file"}},
        {"import", {import, IMPORT_HELP, {"--description", "--output"}, 1, "name one text file to import"}},
        {"response",
         {response,
          RESPONSE_HELP,
          {"--index", "--points", "--rate", "--png", "--stopband"},
          1,
          "name one .fir or .fib file"}},
        {"apply",
         {apply, APPLY_HELP, {"--index", "--jobs"}, 3, "name the filter, the input and the output: FILTER IN OUT"}},
    };
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(HELP, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    auto it = commands.find(argv[1]);
    try {
        if (it == commands.end()) fail(std::string("unknown command \"") + argv[1] + "\" (try --help)");
        const Command& command = it->second;
        const Args args(argc, argv, 2, command.valued);
        if (args.help) return std::fputs(command.help, stdout), 0;
        const int given = static_cast<int>(args.plain.size());
        if (command.plain < 0 ? given == 0 : given != command.plain) fail(command.plainHint);
        return command.run(args);
    } catch (const Failure& f) {
        std::fprintf(stderr, "zoriq1-filter: %s\n", f.message.c_str());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fputs("zoriq1-filter: not enough memory\n", stderr);
        return 1;
    } catch (const std::exception& e) {
        // Caught so that everything unwinds: no temporary file is left behind.
        std::fprintf(stderr, "zoriq1-filter: unexpected failure: %s\n", e.what());
        return 1;
    }
}
