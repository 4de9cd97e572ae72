#include <gtest/gtest.h>

#include "engine/duplex_probe.h"
#include "tests/support/sim_device.h"

using D = WaveDirection;

namespace {
void expectNothingOpen(const SimWaveBackend& sim) {
    EXPECT_FALSE(sim.isOpen(D::Capture));
    EXPECT_FALSE(sim.isOpen(D::Playback));
}
}  // namespace

TEST(DuplexProbe, FullDuplexOpensAndClosesBothOnce) {
    SimWaveBackend sim;
    EXPECT_EQ(WaveProbeDevices(-1), PROBE_DUPLEX_OK);
    EXPECT_EQ(sim.calls(), QStringList({"open capture", "open playback", "close capture", "close playback"}));
    expectNothingOpen(sim);
}

TEST(DuplexProbe, PlaybackOnlyDeviceGivesNoInputWithoutSecondAttempt) {
    SimWaveBackend sim;
    sim.setOpenFails(D::Capture, true);
    EXPECT_EQ(WaveProbeDevices(-1), PROBE_NO_INPUT);
    EXPECT_EQ(sim.calls(), QStringList({"open capture -> busy", "open playback", "close playback"}));
    expectNothingOpen(sim);
}

TEST(DuplexProbe, NoDeviceAtAllClosesNothing) {
    SimWaveBackend sim;
    sim.setOpenFails(D::Capture, true);
    sim.setOpenFails(D::Playback, true);
    EXPECT_EQ(WaveProbeDevices(-1), PROBE_NO_DEVICES);
    EXPECT_EQ(sim.calls(), QStringList({"open capture -> busy", "open playback -> busy"}));
}

TEST(DuplexProbe, CaptureOnlyDeviceTriesFourOpens) {
    SimWaveBackend sim;
    sim.setOpenFails(D::Playback, true);
    EXPECT_EQ(WaveProbeDevices(-1), PROBE_NO_OUTPUT);
    EXPECT_EQ(sim.calls(), QStringList({"open capture", "open playback -> busy", "close capture",
                                        "open playback -> busy", "open capture", "close capture"}));
    expectNothingOpen(sim);
}

TEST(DuplexProbe, HalfDuplexDeviceOpensEachSideOnlyAlone) {
    SimWaveBackend sim;
    const SimWaveBackend* s = &sim;
    sim.setOpenRule([s](D direction, int) { return !s->isOpen(direction == D::Capture ? D::Playback : D::Capture); });
    EXPECT_EQ(WaveProbeDevices(-1), PROBE_NO_DUPLEX);
    EXPECT_EQ(sim.calls(), QStringList({"open capture", "open playback -> busy", "close capture", "open playback",
                                        "open capture -> busy", "close playback"}));
    expectNothingOpen(sim);
}

TEST(DuplexProbe, FailureThatDoesNotRepeatIsInconsistent) {
    SimWaveBackend sim;
    sim.setOpenRule([](D direction, int attempt) { return !(direction == D::Playback && attempt == 1); });
    EXPECT_EQ(WaveProbeDevices(-1), PROBE_INCONSISTENT);
    EXPECT_EQ(sim.calls().mid(3), QStringList({"open playback", "open capture", "close capture", "close playback"}));
    expectNothingOpen(sim);
}

TEST(DuplexProbe, BothFailingInTheSecondAttemptIsInconsistent) {
    SimWaveBackend sim;
    sim.setOpenRule([](D direction, int attempt) { return direction == D::Capture && attempt == 1; });
    EXPECT_EQ(WaveProbeDevices(-1), PROBE_INCONSISTENT);
    EXPECT_EQ(sim.calls().mid(3), QStringList({"open playback -> busy", "open capture -> busy"}));
    expectNothingOpen(sim);
}
