// The generator session on the simulated platform: opening by serial number, the outcome of every request,
// and that whatever it opened is closed by Close and by its end, also with several sessions open at once.
#include "device/GeneratorSession.h"
#include "device/SimulatedPlatform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace tarvo {
namespace {

class Session : public ::testing::Test {
protected:
    void TearDown() override { EXPECT_TRUE(sim.Misuses().empty()); }

    void Plug(const std::string& name, std::uint16_t featureLength = 9, std::uint16_t version = 0x0100) {
        SimDeviceConfig config;
        config.name = name;
        config.serial = u"TPG-" + std::u16string(name.begin(), name.end());
        config.featureLength = featureLength;
        config.version = version;
        ASSERT_TRUE(sim.Plug(config));
    }
    int Count(const std::string& op) const {
        return static_cast<int>(std::count_if(sim.Calls().begin(), sim.Calls().end(),
                                              [&](const SimCall& call) { return call.op == op; }));
    }
    // Every set-feature request the device received, in hex; " failed" after one the platform failed.
    std::vector<std::string> Frames(const std::string& device) const {
        std::vector<std::string> frames;
        for (const SimCall& call : sim.Calls())
            if (call.op == "HidD_SetFeature" && call.device == device)
                frames.push_back(HexBytes(call.bytes) + (call.ok ? "" : " failed"));
        return frames;
    }
    // Events made and not closed.
    int OpenEvents() const {
        int open = 0;
        for (const SimCall& call : sim.Calls()) {
            if (call.op == "CreateEventA") ++open;
            if (call.op == "CloseHandle" && call.ok && call.device.empty()) --open;
        }
        return open;
    }

    SimulatedPlatform sim;
};

TEST_F(Session, OpensBySerialNumberAndEachRequestReturnsItsOwnOutcome) {
    Plug("A");
    Plug("B", 9, 0x010A);
    GeneratorSession session(sim);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(session.ReadStatus().outcome, GeneratorOutcome::NotOpen);
    EXPECT_EQ(session.SendFrequency(25000), GeneratorOutcome::NotOpen);
    EXPECT_EQ(Count("HidD_SetFeature") + Count("HidD_GetFeature"), 0);

    ASSERT_EQ(session.Open("TPG-B"), GeneratorSession::OpenOutcome::Opened);
    EXPECT_EQ(session.Serial(), "TPG-B");
    EXPECT_EQ(session.FeatureReportLength(), 9);
    const GeneratorIdentity identity = session.Identity();
    EXPECT_EQ(identity.manufacturer, "Tarvo");
    EXPECT_EQ(identity.product, "Pulse Generator");
    EXPECT_EQ(identity.version, "1.0A");

    const StatusReading before = session.ReadStatus();
    ASSERT_EQ(before.outcome, GeneratorOutcome::Done);
    EXPECT_EQ(before.status.frequencyHz, 10000000);
    EXPECT_EQ(before.status.amplitudeIndex, 360);
    EXPECT_EQ(session.SendFrequency(25000), GeneratorOutcome::Done);
    EXPECT_EQ(session.SendAmplitude(510), GeneratorOutcome::Done);
    const StatusReading after = session.ReadStatus();
    EXPECT_EQ(after.status.reportedFrequencyHz, 25000);
    EXPECT_EQ(after.status.reportedAmplitudeIndex, 510);
    EXPECT_EQ(session.RestoreDefaults(), GeneratorOutcome::Done);
    EXPECT_EQ(Frames("B"), (std::vector<std::string>{"00 01 00 A8 61 00 00 00 00", "00 02 00 FE 01 00 00 00 00",
                                                     "00 01 00 80 96 98 00 00 00", "00 02 00 68 01 00 00 00 00"}));
    EXPECT_TRUE(Frames("A").empty());

    session.Close();
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(session.Serial(), "TPG-B");
    EXPECT_EQ(session.FeatureReportLength(), 0);
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    sim.ClearRecords();
    EXPECT_EQ(session.SendAmplitude(1), GeneratorOutcome::NotOpen);
    EXPECT_EQ(session.RestoreDefaults(), GeneratorOutcome::NotOpen);
    EXPECT_FALSE(session.Identity().manufacturer);
    EXPECT_TRUE(sim.Calls().empty());
}

TEST_F(Session, TellsAGeneratorThatIsNotAttachedFromOneThatCouldNotBeOpened) {
    Plug("A");
    GeneratorSession session(sim);
    EXPECT_EQ(session.Open("TPG-X"), GeneratorSession::OpenOutcome::NotAttached);
    EXPECT_EQ(session.Open("tpg-a"), GeneratorSession::OpenOutcome::NotAttached);  // letter case counts
    sim.Fail("A", SimOp::Serial, 1);  // the open's walk cannot read it; a walk after it lists it
    EXPECT_EQ(session.Open("TPG-A"), GeneratorSession::OpenOutcome::Failed);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    // Opening again closes what was open first.
    ASSERT_EQ(session.Open("TPG-A"), GeneratorSession::OpenOutcome::Opened);
    ASSERT_EQ(session.Open("TPG-A"), GeneratorSession::OpenOutcome::Opened);
    EXPECT_EQ(sim.OpenDeviceHandles(), 2);
}

TEST_F(Session, ShortReportsAndFailedRequests) {
    Plug("A");
    Plug("eight", 8);  // holds both commands, not the status
    Plug("six", 6);    // holds the amplitude command only
    GeneratorSession session(sim);

    ASSERT_EQ(session.Open("TPG-A"), GeneratorSession::OpenOutcome::Opened);
    sim.Fail("A", SimOp::GetFeature, 1);
    EXPECT_EQ(session.ReadStatus().outcome, GeneratorOutcome::Failed);
    sim.Fail("A", SimOp::SetFeature, 1);
    EXPECT_EQ(session.SendFrequency(25000), GeneratorOutcome::Failed);
    EXPECT_EQ(sim.Device("A")->frequency, 10000000);
    // Restore stops at the first request that fails: here the amplitude, after the frequency went.
    sim.onCall = [this](const SimCall& call) {
        if (call.op == "HidD_SetFeature" && call.ok) sim.Fail("A", SimOp::SetFeature, 1);
    };
    EXPECT_EQ(session.RestoreDefaults(), GeneratorOutcome::Failed);
    sim.onCall = nullptr;
    EXPECT_EQ(Frames("A").back(), "00 02 00 68 01 00 00 00 00 failed");

    ASSERT_EQ(session.Open("TPG-eight"), GeneratorSession::OpenOutcome::Opened);
    EXPECT_EQ(session.ReadStatus().outcome, GeneratorOutcome::TooShort);
    EXPECT_EQ(Count("HidD_GetFeature"), 1);  // A's: none was made for the short report
    EXPECT_EQ(session.SendFrequency(30000), GeneratorOutcome::Done);

    ASSERT_EQ(session.Open("TPG-six"), GeneratorSession::OpenOutcome::Opened);
    EXPECT_EQ(session.SendFrequency(30000), GeneratorOutcome::TooShort);
    EXPECT_EQ(session.RestoreDefaults(), GeneratorOutcome::TooShort);
    EXPECT_EQ(session.SendAmplitude(2), GeneratorOutcome::Done);
    EXPECT_EQ(Frames("six"), std::vector<std::string>{"00 02 00 02 00 00"});

    // An unplugged generator fails every request until it is closed.
    sim.Unplug("six");
    EXPECT_EQ(session.SendAmplitude(3), GeneratorOutcome::Failed);
}

TEST_F(Session, SeveralSessionsAtOnceWithListingsBetweenThemAndNothingLeftOpen) {
    Plug("A");
    Plug("B");
    {
        GeneratorSession a(sim), b(sim);
        ASSERT_EQ(a.Open("TPG-A"), GeneratorSession::OpenOutcome::Opened);
        EXPECT_EQ(ListGenerators(sim), (std::vector<std::string>{"TPG-A", "TPG-B"}));
        ASSERT_EQ(b.Open("TPG-B"), GeneratorSession::OpenOutcome::Opened);
        EXPECT_EQ(ListGenerators(sim), (std::vector<std::string>{"TPG-A", "TPG-B"}));
        EXPECT_EQ(a.SendFrequency(25000), GeneratorOutcome::Done);
        EXPECT_EQ(b.SendFrequency(30000), GeneratorOutcome::Done);
        EXPECT_EQ(sim.Device("A")->frequency, 25000);
        EXPECT_EQ(sim.Device("B")->frequency, 30000);
        EXPECT_EQ(sim.OpenDeviceHandles(), 4);
        EXPECT_EQ(OpenEvents(), 2);
    }
    EXPECT_EQ(sim.OpenDeviceHandles(), 0);
    EXPECT_EQ(OpenEvents(), 0);
}

}  // namespace
}  // namespace tarvo
