#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/wave_file.h"

namespace {

std::string tempPath(const char* name) {
    return std::string(testing::TempDir()) + "zq_wave_" + std::to_string(getpid()) + "_" + name;
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::vector<int16_t> block(int seed) {
    std::vector<int16_t> b(2048);
    for (int i = 0; i < 2048; ++i) b[i] = static_cast<int16_t>(seed * 1000 + i * 7 - 9000);
    return b;
}

// Checks the whole layout: header fields, sizes that match the length, and the blocks in order.
void expectValidWav(const std::string& path, int blocks, int firstSeed = 0) {
    auto b = readAll(path);
    ASSERT_EQ(b.size(), 46u + 4096u * blocks);
    const uint8_t header[] = {'R',  'I',  'F', 'F', 0, 0, 0,  0, 'W', 'A', 'V',  'E',  'f', 'm',
                              't',  ' ',  18,  0,   0, 0, 1,  0, 1,   0,   0x11, 0x2B, 0,   0,
                              0x22, 0x56, 0,   0,   2, 0, 16, 0, 0,   0,   'd',  'a',  't', 'a'};
    for (size_t i = 0; i < sizeof header; ++i) {
        if (i >= 4 && i < 8) continue;
        ASSERT_EQ(b[i], header[i]) << "byte " << i;
    }
    EXPECT_EQ(le32(b, 4), 38u + 4096u * blocks);
    EXPECT_EQ(le32(b, 42), 4096u * blocks);
    for (int k = 0; k < blocks; ++k) {
        auto expected = block(firstSeed + k);
        ASSERT_EQ(std::memcmp(b.data() + 46 + 4096 * k, expected.data(), 4096), 0) << "block " << k;
    }
}

}  // namespace

TEST(WaveFile, EmptyRecordingIsA46ByteFile) {
    auto path = tempPath("empty.wav");
    ASSERT_EQ(WaveFile(WAVE_FILE_CREATE, path.c_str(), nullptr, 0), 0);
    ASSERT_EQ(WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0), 0);
    expectValidWav(path, 0);
    std::remove(path.c_str());
}

TEST(WaveFile, BlocksLandInOrderAndTheFileIsValidAfterEveryWrite) {
    auto path = tempPath("blocks.wav");
    ASSERT_EQ(WaveFile(WAVE_FILE_CREATE, path.c_str(), nullptr, 0), 0);
    for (int k = 0; k < 5; ++k) {
        auto b = block(k);
        ASSERT_EQ(WaveFile(WAVE_FILE_WRITE, nullptr, b.data(), 4096), 0);
        // A program killed now would leave a valid file holding every block so far.
        expectValidWav(path, k + 1);
    }
    ASSERT_EQ(WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0), 0);
    expectValidWav(path, 5);
    std::remove(path.c_str());
}

TEST(WaveFile, CreatingOverAnExistingFileTruncatesIt) {
    auto path = tempPath("over.wav");
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(100000, 'x');
    }
    ASSERT_EQ(WaveFile(WAVE_FILE_CREATE, path.c_str(), nullptr, 0), 0);
    auto b = block(3);
    ASSERT_EQ(WaveFile(WAVE_FILE_WRITE, nullptr, b.data(), 4096), 0);
    ASSERT_EQ(WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0), 0);
    expectValidWav(path, 1, 3);
    std::remove(path.c_str());
}

TEST(WaveFile, UnusablePathsFailToCreate) {
    EXPECT_EQ(WaveFile(WAVE_FILE_CREATE, "/nonexistent-dir/x.wav", nullptr, 0), 103);
    EXPECT_EQ(WaveFile(WAVE_FILE_CREATE, "", nullptr, 0), 103);
    EXPECT_EQ(WaveFile(WAVE_FILE_CREATE, nullptr, nullptr, 0), 103);
    // A path far longer than any fixed buffer is used whole, never cut to another file's name.
    std::string dir = std::string(testing::TempDir()) + "zq_long_" + std::to_string(getpid());
    std::string longDir = dir;
    for (int i = 0; i < 6; ++i) longDir += "/" + std::string(120, 'd');
    ASSERT_EQ(std::system(("mkdir -p '" + longDir + "'").c_str()), 0);
    std::string path = longDir + "/take.wav";
    ASSERT_GT(path.size(), 700u);
    ASSERT_EQ(WaveFile(WAVE_FILE_CREATE, path.c_str(), nullptr, 0), 0);
    ASSERT_EQ(WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0), 0);
    expectValidWav(path, 0);
    ASSERT_EQ(std::system(("rm -rf '" + dir + "'").c_str()), 0);
}

TEST(WaveFile, OtherCommandsDoNothing) {
    EXPECT_EQ(WaveFile(0, nullptr, nullptr, 0), 0);
    EXPECT_EQ(WaveFile(4, "whatever", nullptr, 0), 0);
    // A write with no open file has nothing to write to.
    auto b = block(0);
    EXPECT_EQ(WaveFile(WAVE_FILE_WRITE, nullptr, b.data(), 4096), 101);
}

// A real full disk: the file size limit of a child process, as a full disk shows itself to write().
TEST(WaveFile, FullDiskKeepsTheWholeBlocksAndAValidFile) {
    auto path = tempPath("full.wav");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{46 + 3 * 4096 + 1000, 46 + 3 * 4096 + 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        if (WaveFile(WAVE_FILE_CREATE, path.c_str(), nullptr, 0) != 0) _exit(11);
        int k = 0;
        int result = 0;
        for (; k < 10; ++k) {
            auto b = block(k);
            result = WaveFile(WAVE_FILE_WRITE, nullptr, b.data(), 4096);
            if (result != 0) break;
        }
        if (k != 3 || result != 102) _exit(12);
        if (WaveFile(WAVE_FILE_CLOSE, nullptr, nullptr, 0) != 0) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);
    expectValidWav(path, 3);
    std::remove(path.c_str());
}
