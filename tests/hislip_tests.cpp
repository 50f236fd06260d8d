// HiSLIP on bytes: the reader, then whole sessions driven through HislipChannel against a fake connection (sent
// bytes, closing, timers fired by hand) and the language tests' fake generators, which log what reaches them.
#include "scpi/language/ScpiSession.h"
#include "scpi/network/Hislip.h"
#include "scpi_fake_instruments.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

using namespace tarvo::scpi;
namespace h = tarvo::scpi::hislip;

namespace {

// A connection as the server would give it: what was sent unprompted, whether it was closed, and its timers,
// which run only when a test fires them.
class FakeConnection : public HislipConnection {
public:
    void Send(std::string bytes) override {
        if (!closed) {
            sent += bytes;
        }
    }
    void Close() override {
        closed = true;
        timers.clear();
    }
    std::uint64_t After(std::chrono::milliseconds delay, std::function<void()> run) override {
        if (closed) {
            return 0;
        }
        timers[++lastTimer] = {delay, std::move(run)};
        return lastTimer;
    }
    void Cancel(std::uint64_t timer) override { timers.erase(timer); }

    // Fires the pending timers that were set for at most `upTo`, oldest first.
    void Fire(std::chrono::milliseconds upTo) {
        for (auto it = timers.begin(); it != timers.end();) {
            if (it->second.first <= upTo) {
                auto run = std::move(it->second.second);
                timers.erase(it);
                run();
                it = timers.begin();
            } else {
                ++it;
            }
        }
    }

    std::string sent;
    bool closed = false;
    std::map<std::uint64_t, std::pair<std::chrono::milliseconds, std::function<void()>>> timers;
    std::uint64_t lastTimer = 0;
};

// One connection: bytes in, the messages that came back (answers and unprompted sends alike).
struct Channel {
    explicit Channel(HislipService& service)
        : connection(std::make_shared<FakeConnection>()),
          channel(std::make_unique<HislipChannel>(service, connection, "127.0.0.1:1")) {}

    std::vector<h::Message> Send(std::string_view bytes) {
        const Reply reply = channel->Receive(bytes);
        if (reply.close) {
            connection->Close();
        }
        return Take(reply.bytes);
    }
    // What was sent unprompted since the last look.
    std::vector<h::Message> Unprompted() { return Take({}); }
    // Drops the connection, as the server does when it closes.
    void Drop() {
        connection->Close();
        channel.reset();
    }

    std::shared_ptr<FakeConnection> connection;
    std::unique_ptr<HislipChannel> channel;

private:
    std::vector<h::Message> Take(const std::string& reply) {
        std::string bytes = reply + connection->sent;
        connection->sent.clear();
        std::vector<h::Message> out;
        h::Reader reader(1 << 20, 1 << 20);
        EXPECT_TRUE(reader.Read(bytes, out));
        return out;
    }
};

std::string Initialize(std::string_view subAddress = "hislip0", std::uint16_t version = 0x0100) {
    return h::Encode(h::Initialize, 0, (std::uint32_t{version} << 16) | ('x' << 8) | 'x', subAddress);
}

constexpr std::uint32_t FIRST_ID = 0xFFFFFF00;

struct Bench {
    Bench() {
        FakeInstruments::Generator generator;
        generator.serial = "TP0001";
        instruments.attached.push_back(generator);
    }
    // Frames that reached the generator.
    std::size_t Sent() { return instruments.reports["TP0001"].size(); }

    FakeInstruments instruments;
    InstrumentLock lock;
    HislipService service{instruments, lock};
};

// A session with both channels open.
struct Session {
    explicit Session(HislipService& service) : sync(service), async(service) {
        auto init = sync.Send(Initialize());
        EXPECT_EQ(init.size(), 1u);
        id = static_cast<std::uint16_t>(init.at(0).parameter & 0xFFFF);
        auto paired = async.Send(h::Encode(h::AsyncInitialize, 0, id));
        EXPECT_EQ(paired.size(), 1u);
        EXPECT_EQ(paired.at(0).type, h::AsyncInitializeResponse);
    }
    // Sends one whole message with DataEnd; returns the response's text ("" when none), checking its MessageID.
    std::string Query(std::string_view text) {
        const std::uint32_t sentId = nextId;
        nextId += 2;
        std::string response;
        for (const auto& message : sync.Send(h::Encode(h::DataEnd, 0, sentId, text))) {
            EXPECT_TRUE(message.type == h::Data || message.type == h::DataEnd) << int(message.type);
            EXPECT_EQ(message.parameter, sentId);
            response += message.payload;
        }
        return response;
    }
    std::uint8_t Lock(std::uint32_t timeoutMs, std::string_view key = {}) {
        auto answer = async.Send(h::Encode(h::AsyncLock, 1, timeoutMs, key));
        return answer.empty() ? 0xFF : answer.at(0).control;
    }

    Channel sync;
    Channel async;
    std::uint16_t id = 0;
    std::uint32_t nextId = FIRST_ID;
};

TEST(HislipReader, HeaderLayoutAndAnySplit) {
    const std::string bytes = h::Encode(h::DataEnd, 1, 0xFFFFFF02, "FREQ?\n");
    EXPECT_EQ(bytes.substr(0, 16), std::string("HS\x07\x01\xFF\xFF\xFF\x02\0\0\0\0\0\0\0\x06", 16));
    const std::string two = bytes + h::Encode(h::AsyncStatusQuery, 0, 7);
    for (std::size_t cut = 0; cut <= two.size(); ++cut) {
        h::Reader reader(64, 8);
        std::vector<h::Message> out;
        ASSERT_TRUE(reader.Read(std::string_view(two).substr(0, cut), out));
        ASSERT_TRUE(reader.Read(std::string_view(two).substr(cut), out));
        ASSERT_EQ(out.size(), 2u) << cut;
        EXPECT_EQ(out[0].payload, "FREQ?\n");
        EXPECT_EQ(out[0].parameter, 0xFFFFFF02u);
        EXPECT_EQ(out[1].type, h::AsyncStatusQuery);
        EXPECT_EQ(out[1].parameter, 7u);
    }
}

TEST(HislipReader, AHugeLengthIsReportedAtOnceAndItsPayloadSkipped) {
    h::Reader reader(64, 8);
    std::vector<h::Message> out;
    std::string header = h::Encode(h::Data, 0, 0);
    header[10] = 1;  // 2^40 bytes claimed
    ASSERT_TRUE(reader.Read(header, out));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_TRUE(out[0].tooLarge);
    EXPECT_EQ(out[0].length, std::uint64_t{1} << 40);
    EXPECT_TRUE(out[0].payload.empty());
    // Whatever follows is payload, never a message, however it looks.
    ASSERT_TRUE(reader.Read(h::Encode(h::AsyncLockInfo, 0, 0) + std::string(100000, 'x'), out));
    EXPECT_EQ(out.size(), 1u);
    // A payload longer than kept for its type, then the stream goes on.
    h::Reader small(64, 8);
    out.clear();
    ASSERT_TRUE(small.Read(h::Encode(h::AsyncLock, 1, 0, "a key of twenty bytes") + h::Encode(h::AsyncLockInfo, 0, 0), out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].tooLarge);
    EXPECT_EQ(out[1].type, h::AsyncLockInfo);
}

TEST(HislipReader, AnotherProtocolBreaksTheStreamAtItsFirstByte) {
    for (std::string_view bytes : {"G", "HT", "*IDN?\n"}) {
        h::Reader reader(64, 8);
        std::vector<h::Message> out;
        EXPECT_FALSE(reader.Read(bytes, out)) << bytes;
        EXPECT_FALSE(reader.Read(h::Encode(h::AsyncLockInfo, 0, 0), out));
        EXPECT_TRUE(out.empty());
    }
}

TEST(Hislip, OpeningNegotiatesTheVersionAndPairsTheChannels) {
    Bench bench;
    Channel sync(bench.service);
    auto init = sync.Send(Initialize("HISLIP0", 0x0201));
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].type, h::InitializeResponse);
    EXPECT_EQ(init[0].control, 0);                  // synchronized mode
    EXPECT_EQ(init[0].parameter >> 16, 0x0100u);    // the lower version
    const auto id = static_cast<std::uint16_t>(init[0].parameter & 0xFFFF);
    EXPECT_EQ(sync.connection->timers.size(), 1u);  // waiting for the second channel

    // Data before the asynchronous channel is open is a fatal error.
    Channel early(bench.service);
    auto earlyInit = early.Send(Initialize());
    auto refused = early.Send(h::Encode(h::DataEnd, 0, FIRST_ID, "*IDN?\n"));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].type, h::FatalError);
    EXPECT_EQ(refused[0].control, h::FatalChannelsNotEstablished);
    EXPECT_TRUE(early.connection->closed);
    early.Drop();

    Channel async(bench.service);
    auto paired = async.Send(h::Encode(h::AsyncInitialize, 0, id));
    ASSERT_EQ(paired.size(), 1u);
    EXPECT_EQ(paired[0].type, h::AsyncInitializeResponse);
    EXPECT_EQ(paired[0].parameter & 0xFFFF, std::uint32_t{'T' << 8 | 'P'});
    // Both open: no timer left, so an idle server sleeps.
    EXPECT_TRUE(sync.connection->timers.empty());
    EXPECT_TRUE(async.connection->timers.empty());

    // The session's ID cannot be joined twice; an unknown one not at all.
    for (std::uint32_t tried : {std::uint32_t{id}, std::uint32_t{id} + 100}) {
        Channel third(bench.service);
        auto answer = third.Send(h::Encode(h::AsyncInitialize, 0, tried));
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_EQ(answer[0].type, h::FatalError);
        EXPECT_TRUE(third.connection->closed);
    }
    EXPECT_EQ(bench.service.Sessions(), 1u);
}

TEST(Hislip, RefusedOpenings) {
    Bench bench;
    // Unknown sub-address, a message other than Initialize first, another protocol's bytes.
    for (std::string first : {Initialize("inst0"), Initialize("hislip1"), Initialize(""),
                              h::Encode(h::DataEnd, 0, FIRST_ID, "*IDN?\n"), std::string("GET / HTTP/1.1\r\n")}) {
        Channel channel(bench.service);
        auto answer = channel.Send(first);
        ASSERT_EQ(answer.size(), 1u) << first;
        EXPECT_EQ(answer[0].type, h::FatalError);
        EXPECT_TRUE(channel.connection->closed);
    }
    EXPECT_EQ(bench.service.Sessions(), 0u);
    EXPECT_EQ(bench.Sent(), 0u);

    // A channel left alone gets a FatalError when its time is up, and its session goes.
    Channel lonely(bench.service);
    lonely.Send(Initialize());
    EXPECT_EQ(bench.service.Sessions(), 1u);
    lonely.connection->Fire(std::chrono::hours(1));
    auto fatal = lonely.Unprompted();
    ASSERT_EQ(fatal.size(), 1u);
    EXPECT_EQ(fatal[0].control, h::FatalChannelsNotEstablished);
    EXPECT_TRUE(lonely.connection->closed);
    lonely.Drop();
    EXPECT_EQ(bench.service.Sessions(), 0u);

    // The session limit.
    HislipService small(bench.instruments, bench.lock, HislipLimits{std::chrono::seconds(1), 1});
    Session one(small);
    Channel two(small);
    auto full = two.Send(Initialize());
    ASSERT_EQ(full.size(), 1u);
    EXPECT_EQ(full[0].control, h::FatalTooManyClients);
}

TEST(Hislip, ResponsesCarryTheMessageIdOfTheirQuery) {
    Bench bench;
    Session session(bench.service);
    EXPECT_EQ(session.Query("SYST:ERR?\n"), "0,\"No error\"\n");
    EXPECT_EQ(session.Query("*CLS"), "");  // a command: nothing comes back
    // A message over several Data messages runs once, at DataEnd.
    auto none = session.sync.Send(h::Encode(h::Data, 0, session.nextId, "SYST:") + h::Encode(h::Data, 0, session.nextId + 2, "ERR"));
    EXPECT_TRUE(none.empty());
    session.nextId += 4;
    EXPECT_EQ(session.Query("?\n"), "0,\"No error\"\n");
}

TEST(Hislip, MessageSizesBothWays) {
    Bench bench;
    Session session(bench.service);
    std::string size(8, '\0');
    size[7] = 20;  // the client takes Data of 20 bytes, header included
    auto answer = session.async.Send(h::Encode(h::AsyncMaximumMessageSize, 0, 0, size));
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0].type, h::AsyncMaximumMessageSizeResponse);
    ASSERT_EQ(answer[0].payload.size(), 8u);
    EXPECT_EQ(answer[0].payload.substr(0, 6), std::string(6, '\0'));
    const unsigned ours = (static_cast<unsigned char>(answer[0].payload[6]) << 8) | static_cast<unsigned char>(answer[0].payload[7]);
    EXPECT_GE(ours, MAX_MESSAGE_BYTES);

    // The response is split into Data messages of at most 4 payload bytes, all with the query's MessageID.
    auto parts = session.sync.Send(h::Encode(h::DataEnd, 0, FIRST_ID, "SYST:ERR?\n"));
    ASSERT_EQ(parts.size(), 4u);  // 0,"No error"\n is 13 bytes
    for (std::size_t i = 0; i < parts.size(); ++i) {
        EXPECT_EQ(parts[i].type, i + 1 == parts.size() ? h::DataEnd : h::Data);
        EXPECT_EQ(parts[i].parameter, FIRST_ID);
        EXPECT_LE(parts[i].payload.size(), 4u);
    }

    // A Data message over our maximum is refused with an Error, and its whole message with it.
    const std::string tooBig(ours + 1, 'A');
    auto refused = session.sync.Send(h::Encode(h::Data, 0, FIRST_ID + 2, tooBig) + h::Encode(h::DataEnd, 0, FIRST_ID + 4, "*TRG\n"));
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].type, h::Error);
    EXPECT_EQ(refused[0].control, h::ErrorMessageTooLarge);
    session.nextId = FIRST_ID + 6;
    size[7] = 0;
    size[5] = 1;  // 64 KiB again
    session.async.Send(h::Encode(h::AsyncMaximumMessageSize, 0, 0, size));
    EXPECT_EQ(session.Query("SYST:ERR?\n"), "0,\"No error\"\n");  // the *TRG never ran

    // A message over the longest taken, in pieces each within bounds: -363, and nothing of it runs.
    const std::string piece(4000, ' ');
    std::string pieces;
    for (int i = 0; i < 3; ++i) {
        pieces += h::Encode(h::Data, 0, session.nextId, piece);
    }
    session.sync.Send(pieces);
    session.nextId += 2;
    EXPECT_EQ(session.Query("FREQ 1000000\n"), "");
    EXPECT_EQ(session.Query("SYST:ERR?\n").substr(0, 5), "-363,");
    EXPECT_EQ(bench.Sent(), 0u);
}

TEST(Hislip, DeviceClearDropsWhatIsPendingAndStatusTellsWhatWaits) {
    Bench bench;
    Session session(bench.service);
    // A partial message, then a clear: it is dropped, and so is Data sent before DeviceClearComplete.
    session.sync.Send(h::Encode(h::Data, 0, FIRST_ID, "FREQ 1000"));
    auto ack = session.async.Send(h::Encode(h::AsyncDeviceClear, 0, 0));
    ASSERT_EQ(ack.size(), 1u);
    EXPECT_EQ(ack[0].type, h::AsyncDeviceClearAcknowledge);
    EXPECT_TRUE(session.sync.Send(h::Encode(h::DataEnd, 0, FIRST_ID + 2, "000\n")).empty());
    auto done = session.sync.Send(h::Encode(h::DeviceClearComplete, 0, 0));
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].type, h::DeviceClearAcknowledge);
    EXPECT_EQ(bench.Sent(), 0u);

    auto status = [&](std::uint8_t control) {
        auto answer = session.async.Send(h::Encode(h::AsyncStatusQuery, control, session.nextId - 2));
        EXPECT_EQ(answer.size(), 1u);
        return answer.empty() ? 0xFF : int(answer[0].control);
    };
    EXPECT_EQ(status(0) & 0x10, 0);
    session.Query("SYST:ERR?\n");
    EXPECT_EQ(status(0) & 0x10, 0x10);                 // the answer was sent, not yet said read
    EXPECT_EQ(status(h::RMT_DELIVERED) & 0x10, 0);     // the client read it
    // Trigger is *TRG: an error in the queue, which the status byte shows.
    EXPECT_TRUE(session.sync.Send(h::Encode(h::Trigger, 0, session.nextId)).empty());
    session.nextId += 2;
    EXPECT_EQ(status(0) & 0x04, 0x04);
    EXPECT_EQ(session.Query("SYST:ERR?\n").substr(0, 5), "-221,");

    auto remote = session.async.Send(h::Encode(h::AsyncRemoteLocalControl, 1, session.nextId));
    ASSERT_EQ(remote.size(), 1u);
    EXPECT_EQ(remote[0].type, h::AsyncRemoteLocalResponse);
    // Unknown types are an Error, not the end.
    for (Channel* channel : {&session.sync, &session.async}) {
        for (std::uint8_t type : {std::uint8_t{60}, std::uint8_t{200}}) {
            auto error = channel->Send(h::Encode(type, 0, 0));
            ASSERT_EQ(error.size(), 1u);
            EXPECT_EQ(error[0].type, h::Error);
            EXPECT_EQ(error[0].control, type >= 128 ? h::ErrorUnrecognizedVendorMessage : h::ErrorUnrecognizedType);
        }
    }
    EXPECT_FALSE(session.sync.connection->closed);
}

TEST(Hislip, LocksBetweenSessionsAndTheRawSocket) {
    Bench bench;
    Session a(bench.service);
    Session b(bench.service);
    ScpiSession raw(bench.instruments, bench.lock);

    EXPECT_EQ(a.Lock(0), h::LockGranted);
    auto info = b.async.Send(h::Encode(h::AsyncLockInfo, 0, 0));
    ASSERT_EQ(info.size(), 1u);
    EXPECT_EQ(info[0].control, 1);
    EXPECT_EQ(info[0].parameter, 1u);

    // Without the lock, a session's device commands fail at once with an error in its queue.
    EXPECT_EQ(b.Query("FREQ 1000000\n"), "");
    EXPECT_EQ(b.Query("SYST:ERR?\n").substr(0, 5), "-200,");
    raw.Receive("FREQ 1000000\n");
    EXPECT_EQ(raw.Receive("SYST:ERR?\n").substr(0, 5), "-200,");
    EXPECT_EQ(bench.Sent(), 0u);
    EXPECT_EQ(a.Query("FREQ 1000000\n"), "");
    EXPECT_EQ(bench.Sent(), 1u);

    // A request with no timeout fails at once; one with a timeout waits, then fails when it passes.
    EXPECT_EQ(b.Lock(0), h::LockFailed);
    EXPECT_EQ(b.Lock(500), 0xFF);
    EXPECT_EQ(b.Lock(500), h::LockError);  // one wait at a time
    b.async.connection->Fire(std::chrono::milliseconds(500));
    auto failed = b.async.Unprompted();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].control, h::LockFailed);
    EXPECT_TRUE(b.async.connection->timers.empty());

    // Waiting again; the holder releases: the waiter gets it from the loop, without its timeout.
    EXPECT_EQ(b.Lock(60'000), 0xFF);
    auto released = a.async.Send(h::Encode(h::AsyncLock, 0, a.nextId));
    ASSERT_EQ(released.size(), 1u);
    EXPECT_EQ(released[0].control, h::LockGranted);
    b.async.connection->Fire(std::chrono::milliseconds(0));
    auto granted = b.async.Unprompted();
    ASSERT_EQ(granted.size(), 1u);
    EXPECT_EQ(granted[0].control, h::LockGranted);
    EXPECT_TRUE(b.async.connection->timers.empty());
    EXPECT_EQ(a.Query("FREQ 2000000\n"), "");
    EXPECT_EQ(a.Query("SYST:ERR?\n").substr(0, 5), "-200,");
    EXPECT_EQ(bench.Sent(), 1u);

    // The holder's connection drops: the lock goes with it.
    b.sync.Drop();
    EXPECT_TRUE(b.async.connection->closed);
    EXPECT_FALSE(bench.lock.ExclusiveHolder().has_value());
    EXPECT_EQ(bench.service.Sessions(), 1u);

    // Shared: the same key joins, another does not; releasing what one does not hold is an error.
    Session c(bench.service);
    EXPECT_EQ(a.Lock(0, "bench"), h::LockGranted);
    EXPECT_EQ(c.Lock(0, "bench"), h::LockGranted);
    EXPECT_EQ(raw.Receive("FREQ 2000000\nSYST:ERR?\n").substr(0, 5), "-200,");
    Session d(bench.service);
    EXPECT_EQ(d.Lock(0, "other"), h::LockFailed);
    EXPECT_EQ(d.Lock(0), h::LockFailed);
    auto notHeld = d.async.Send(h::Encode(h::AsyncLock, 0, 0));
    EXPECT_EQ(notHeld.at(0).control, h::LockError);
    auto shared = c.async.Send(h::Encode(h::AsyncLock, 0, 0));
    EXPECT_EQ(shared.at(0).control, h::LockSharedReleased);
}

TEST(Hislip, ASessionWaitingForTheLockThatClosesLeavesNothingBehind) {
    Bench bench;
    Session a(bench.service);
    auto b = std::make_unique<Session>(bench.service);
    EXPECT_EQ(a.Lock(0), h::LockGranted);
    EXPECT_EQ(b->Lock(10'000), 0xFF);
    b->async.Drop();
    EXPECT_TRUE(b->sync.connection->closed);
    b.reset();
    EXPECT_EQ(bench.service.Sessions(), 1u);
    // The release calls back nobody that has gone.
    auto released = a.async.Send(h::Encode(h::AsyncLock, 0, 0));
    EXPECT_EQ(released.at(0).control, h::LockGranted);
}

}  // namespace
