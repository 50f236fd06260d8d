// VXI-11 and ONC RPC on bytes: XDR, record marking, the portmapper, every core procedure and error code, the
// lock's waits on fake timers, and the bounds on hostile input.
#include "scpi/network/OncRpc.h"
#include "scpi/network/Vxi11.h"
#include "vxi11_fakes.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::scpi {
namespace {

using namespace vxi11;

std::string Words(std::initializer_list<std::uint32_t> words) {
    rpc::XdrWriter out;
    for (const std::uint32_t word : words) out.U32(word);
    return std::move(out.Bytes());
}

std::string Opaque(std::string_view bytes) {
    rpc::XdrWriter out;
    out.Opaque(bytes);
    return std::move(out.Bytes());
}

// A call with empty AUTH_NONE credentials and verifier.
std::string CallRecord(std::uint32_t xid, std::uint32_t program, std::uint32_t version, std::uint32_t procedure,
                       const std::string& arguments) {
    return Words({xid, 0, 2, program, version, procedure, 0, 0, 0, 0}) + arguments;
}

// A reply taken apart: the accept status and the result words after it (read from a copy the answer keeps).
struct Answer {
    std::shared_ptr<const std::string> bytes;
    std::uint32_t xid = 0;
    std::uint32_t status = 99;  // the accept status
    rpc::XdrReader results{""};
};

Answer Parse(const std::string& reply) {
    Answer answer;
    answer.bytes = std::make_shared<const std::string>(reply);
    rpc::XdrReader in(*answer.bytes);
    answer.xid = in.U32();
    EXPECT_EQ(in.U32(), 1u);  // a reply
    EXPECT_EQ(in.U32(), 0u);  // accepted
    EXPECT_EQ(in.U32(), 0u);  // verifier AUTH_NONE
    EXPECT_EQ(in.U32(), 0u);
    answer.status = in.U32();
    EXPECT_TRUE(in.Ok());
    answer.results = rpc::XdrReader(in.Rest());
    return answer;
}

TEST(Xdr, WordsAreBigEndianAndOpaquesPadToFour) {
    rpc::XdrWriter out;
    out.U32(0x0607AF);
    out.Opaque("inst0");
    EXPECT_EQ(out.Bytes(), std::string("\x00\x06\x07\xAF\x00\x00\x00\x05inst0\x00\x00\x00", 16));

    rpc::XdrReader in(out.Bytes());
    EXPECT_EQ(in.U32(), 0x0607AFu);
    EXPECT_EQ(in.Opaque(5), "inst0");
    EXPECT_TRUE(in.Ok());
    EXPECT_EQ(in.Remaining(), 0u);
}

TEST(Xdr, ReadingPastTheEndOrBeyondTheLimitFailsForGood) {
    const std::string twoBytes("\x00\x01", 2);
    rpc::XdrReader shortWord(twoBytes);
    EXPECT_EQ(shortWord.U32(), 0u);
    EXPECT_FALSE(shortWord.Ok());

    const std::string tooLong = Opaque("inst0");
    rpc::XdrReader limited(tooLong);
    EXPECT_EQ(limited.Opaque(4), "");
    EXPECT_FALSE(limited.Ok());
    EXPECT_EQ(limited.U32(), 0u);

    // A length beyond the bytes there (padding included).
    const std::string unpadded = Words({6}) + "abcdef";
    rpc::XdrReader truncated(unpadded);
    truncated.Opaque(100);
    EXPECT_FALSE(truncated.Ok());
    const std::string endless = Words({0xFFFFFFFF});
    rpc::XdrReader huge(endless);
    huge.Opaque(SIZE_MAX);
    EXPECT_FALSE(huge.Ok());
}

TEST(RecordMarking, RecordsAssembleFromAnySplitAndFragments) {
    const std::string stream = rpc::MarkRecord("first") + Words({3}) + "sec" + Words({0x80000003}) + "ond";
    rpc::RecordReader whole(100);
    whole.Add(stream);
    EXPECT_EQ(whole.Next(), "first");
    EXPECT_EQ(whole.Next(), "second");
    EXPECT_EQ(whole.Next(), std::nullopt);

    rpc::RecordReader bytewise(100);
    std::vector<std::string> records;
    for (const char c : stream) {
        bytewise.Add(std::string_view(&c, 1));
        while (auto record = bytewise.Next()) records.push_back(*record);
    }
    EXPECT_EQ(records, (std::vector<std::string>{"first", "second"}));
    EXPECT_FALSE(bytewise.Invalid());
    EXPECT_EQ(bytewise.Held(), 0u);
    EXPECT_EQ(rpc::MarkRecord("ab"), std::string("\x80\x00\x00\x02" "ab", 6));
}

TEST(RecordMarking, OversizedHeadersTextAndEndlessFragmentsEndTheStream) {
    rpc::RecordReader gigabytes(1024);
    gigabytes.Add(std::string("\xFF\xFF\xFF\xF0", 4));
    EXPECT_EQ(gigabytes.Next(), std::nullopt);
    EXPECT_TRUE(gigabytes.Invalid());
    EXPECT_EQ(gigabytes.Held(), 0u);

    // Fragments each within the bound, together beyond it.
    rpc::RecordReader summed(1024);
    summed.Add(Words({600}) + std::string(600, 'a') + Words({600}));
    EXPECT_EQ(summed.Next(), std::nullopt);
    EXPECT_TRUE(summed.Invalid());

    for (const char* text : {"*IDN?\n", "GET / HTTP/1.1\r\n"}) {
        rpc::RecordReader reader(1024);
        reader.Add(text);
        EXPECT_EQ(reader.Next(), std::nullopt);
        EXPECT_TRUE(reader.Invalid()) << text;
    }

    rpc::RecordReader empties(1024, 4096, 64);
    std::string many;
    for (int i = 0; i < 65; ++i) many += Words({0});
    empties.Add(many);
    EXPECT_EQ(empties.Next(), std::nullopt);
    EXPECT_TRUE(empties.Invalid());

    rpc::RecordReader held(1024, 100);
    held.Add(std::string(101, '\0'));
    EXPECT_TRUE(held.Invalid());
}

TEST(RpcCall, HeaderTakenApartAndForeignBytesRecognised) {
    rpc::Call call;
    const std::string record = Words({7, 0, 2, CORE_PROGRAM, 1, 10, 1, 8}) + "credsxxx" + Words({0, 0, 42});
    ASSERT_EQ(rpc::ParseCall(record, call), rpc::CallParse::Call);
    EXPECT_EQ(call.xid, 7u);
    EXPECT_EQ(call.program, CORE_PROGRAM);
    EXPECT_EQ(call.procedure, 10u);
    EXPECT_EQ(call.arguments, Words({42}));

    EXPECT_EQ(rpc::ParseCall(Words({7, 0, 3, 1, 1, 1, 0, 0, 0, 0}), call), rpc::CallParse::WrongVersion);
    EXPECT_EQ(rpc::RpcMismatchReply(7), Words({7, 1, 1, 0, 2, 2}));
    EXPECT_EQ(rpc::ParseCall(Words({7, 1, 0, 0, 0, 0}), call), rpc::CallParse::NotACall);  // a reply
    EXPECT_EQ(rpc::ParseCall("*ID", call), rpc::CallParse::NotACall);
    // Credentials beyond the 400 bytes allowed.
    EXPECT_EQ(rpc::ParseCall(Words({7, 0, 2, 1, 1, 1, 1, 404}) + std::string(404, 'c') + Words({0, 0}), call),
              rpc::CallParse::NotACall);
}

const std::vector<Mapping> MAPPINGS = {
    {PORTMAPPER_PROGRAM, 2, PROTOCOL_TCP, 111},
    {PORTMAPPER_PROGRAM, 2, PROTOCOL_UDP, 111},
    {CORE_PROGRAM, 1, PROTOCOL_TCP, 40000},
};

std::string Portmap(std::uint32_t version, std::uint32_t procedure, const std::string& arguments,
                    bool broadcast = false) {
    const auto reply = AnswerPortmapper(CallRecord(5, PORTMAPPER_PROGRAM, version, procedure, arguments), MAPPINGS,
                                        broadcast);
    EXPECT_TRUE(reply.has_value());
    return reply.value_or("");
}

TEST(Portmapper, GetportDumpAndNull) {
    Answer null = Parse(Portmap(2, 0, ""));
    EXPECT_EQ(null.xid, 5u);
    EXPECT_EQ(null.status, 0u);
    EXPECT_EQ(null.results.Remaining(), 0u);

    Answer core = Parse(Portmap(2, 3, Words({CORE_PROGRAM, 1, PROTOCOL_TCP, 0})));
    EXPECT_EQ(core.results.U32(), 40000u);
    Answer overUdp = Parse(Portmap(2, 3, Words({CORE_PROGRAM, 1, PROTOCOL_UDP, 0})));
    EXPECT_EQ(overUdp.results.U32(), 0u);  // not served: port 0

    Answer dump = Parse(Portmap(2, 4, ""));
    std::vector<std::uint32_t> entries;
    while (dump.results.U32() == 1) {
        for (int i = 0; i < 4; ++i) entries.push_back(dump.results.U32());
    }
    EXPECT_TRUE(dump.results.Ok());
    EXPECT_EQ(dump.results.Remaining(), 0u);
    EXPECT_EQ(entries, (std::vector<std::uint32_t>{100000, 2, 6, 111, 100000, 2, 17, 111, 0x0607AF, 1, 6, 40000}));

    // Registrations over the network are refused.
    Answer set = Parse(Portmap(2, 1, Words({123, 1, 6, 99})));
    EXPECT_EQ(set.results.U32(), 0u);
}

TEST(Portmapper, ErrorsAnsweredExceptToBroadcasts) {
    const std::string mismatchReply = Portmap(3, 3, "");
    rpc::XdrReader mismatch(mismatchReply);
    EXPECT_EQ(Parse(Portmap(3, 3, "")).status, 2u);  // PROG_MISMATCH, 2..2
    for (int i = 0; i < 6; ++i) mismatch.U32();
    EXPECT_EQ(mismatch.U32(), 2u);
    EXPECT_EQ(mismatch.U32(), 2u);
    EXPECT_EQ(Parse(Portmap(2, 5, "")).status, 3u);             // CALLIT: PROC_UNAVAIL
    EXPECT_EQ(Parse(Portmap(2, 3, Words({1, 2}))).status, 4u);  // GARBAGE_ARGS
    EXPECT_EQ(Parse(*AnswerPortmapper(CallRecord(5, 99, 2, 0, ""), MAPPINGS, false)).status, 1u);

    EXPECT_EQ(Portmap(3, 3, "", true), "");
    EXPECT_EQ(Portmap(2, 3, Words({CORE_PROGRAM, 1, PROTOCOL_UDP, 0}), true), "");
    EXPECT_EQ(Parse(Portmap(2, 3, Words({CORE_PROGRAM, 1, PROTOCOL_TCP, 0}), true)).results.U32(), 40000u);
    EXPECT_EQ(AnswerPortmapper("not rpc", MAPPINGS, true), std::nullopt);
}

// One server's links over fake timers: each test opens the connections it needs.
class CoreChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakeMessagesRun.clear();
        fakeDeviceClears = 0;
        registry.abortPort = 40001;
    }

    struct Peer {
        std::unique_ptr<CoreChannel> channel;
        std::string sent;  // replies sent later
        bool closed = false;
    };

    std::unique_ptr<Peer> Open() {
        auto peer = std::make_unique<Peer>();
        Peer* p = peer.get();
        CoreChannel::Hooks hooks;
        hooks.send = [p](std::string bytes) { p->sent += bytes; };
        hooks.close = [p] { p->closed = true; };
        hooks.after = [this](std::chrono::milliseconds delay, std::function<void()> run) {
            timers[++lastTimer] = {delay, std::move(run)};
            return lastTimer;
        };
        hooks.cancel = [this](std::uint64_t id) { timers.erase(id); };
        peer->channel = std::make_unique<CoreChannel>(registry, hooks);
        return peer;
    }

    // Runs the timers due (those of the shortest delay pending first); false when none is.
    bool FireNext() {
        if (timers.empty()) return false;
        auto next = timers.begin();
        for (auto it = timers.begin(); it != timers.end(); ++it) {
            if (it->second.first < next->second.first) next = it;
        }
        auto run = std::move(next->second.second);
        timers.erase(next);
        run();
        return true;
    }

    // Sends one call and takes its reply apart (expects exactly one record back).
    Answer Ask(Peer& peer, std::uint32_t procedure, const std::string& arguments) {
        const auto result = peer.channel->Receive(rpc::MarkRecord(CallRecord(++xid, CORE_PROGRAM, 1, procedure,
                                                                             arguments)));
        EXPECT_FALSE(result.close);
        rpc::RecordReader reader(1 << 20);
        reader.Add(result.bytes);
        const auto record = reader.Next();
        EXPECT_TRUE(record.has_value());
        EXPECT_EQ(reader.Held(), 0u);
        return record ? Parse(*record) : Answer{};
    }

    std::uint32_t Link(Peer& peer, const std::string& device = "inst0") {
        Answer a = Ask(peer, CREATE_LINK, Words({1, 0, 0}) + Opaque(device));
        EXPECT_EQ(a.results.U32(), NO_ERROR);
        return a.results.U32();
    }

    std::uint32_t Write(Peer& peer, std::uint32_t link, const std::string& data, std::uint32_t flags = FLAG_END) {
        Answer a = Ask(peer, DEVICE_WRITE, Words({link, 1000, 0, flags}) + Opaque(data));
        const std::uint32_t error = a.results.U32();
        if (error == NO_ERROR) {
            EXPECT_EQ(a.results.U32(), data.size());
        }
        return error;
    }

    struct Read {
        std::uint32_t error = 0;
        std::uint32_t reason = 0;
        std::string data;
    };
    Read ReadSome(Peer& peer, std::uint32_t link, std::uint32_t size = 1024, std::uint32_t flags = 0,
                  char termChar = 0) {
        Answer a = Ask(peer, DEVICE_READ, Words({link, size, 1000, 0, flags, static_cast<std::uint8_t>(termChar)}));
        Read read;
        read.error = a.results.U32();
        read.reason = a.results.U32();
        read.data = std::string(a.results.Opaque(1 << 20));
        EXPECT_TRUE(a.results.Ok());
        return read;
    }

    std::uint32_t Generic(Peer& peer, std::uint32_t procedure, std::uint32_t link, std::uint32_t flags = 0,
                          std::uint32_t lockTimeout = 0) {
        return Ask(peer, procedure, Words({link, flags, lockTimeout, 1000})).results.U32();
    }

    FakeInstruments instruments;
    InstrumentLock lock;
    LinkRegistry registry{instruments, lock, 3};
    std::map<std::uint64_t, std::pair<std::chrono::milliseconds, std::function<void()>>> timers;
    std::uint64_t lastTimer = 0;
    std::uint32_t xid = 0;
};

TEST_F(CoreChannelTest, CreateLinkByNameOrSerialNumberWithinTheLimit) {
    auto peer = Open();
    Answer a = Ask(*peer, CREATE_LINK, Words({1, 0, 0}) + Opaque("INST0"));
    EXPECT_EQ(a.status, 0u);
    EXPECT_EQ(a.results.U32(), NO_ERROR);
    EXPECT_NE(a.results.U32(), 0u);
    EXPECT_EQ(a.results.U32(), 40001u);  // the abort port
    EXPECT_EQ(a.results.U32(), MAX_RECEIVE_SIZE);

    Link(*peer, "TPG-2");
    EXPECT_EQ(fakeMessagesRun, (std::vector<std::string>{"INST:SEL \"TPG-2\"\n"}));
    EXPECT_EQ(Ask(*peer, CREATE_LINK, Words({1, 0, 0}) + Opaque("TPG-9")).results.U32(), DEVICE_NOT_ACCESSIBLE);
    EXPECT_EQ(Ask(*peer, CREATE_LINK, Words({1, 0, 0}) + Opaque("gpib0,1")).results.U32(), DEVICE_NOT_ACCESSIBLE);

    auto other = Open();
    Link(*other);
    EXPECT_EQ(Ask(*other, CREATE_LINK, Words({1, 0, 0}) + Opaque("inst0")).results.U32(), OUT_OF_RESOURCES);
    EXPECT_EQ(registry.links.size(), 3u);
    peer.reset();  // its connection dropped: its links are reclaimed
    EXPECT_EQ(registry.links.size(), 1u);
    Link(*other);
}

TEST_F(CoreChannelTest, MessagesEndAtEndOrLineFeedAndResponsesHonourSizeAndTermchar) {
    auto peer = Open();
    const std::uint32_t link = Link(*peer);
    EXPECT_EQ(Write(*peer, link, "FREQ", 0), NO_ERROR);
    EXPECT_TRUE(fakeMessagesRun.empty());
    EXPECT_EQ(Write(*peer, link, "? MAX"), NO_ERROR);
    EXPECT_EQ(Write(*peer, link, "VOLT 1\r\nAMPL?\n", 0), NO_ERROR);
    EXPECT_EQ(fakeMessagesRun, (std::vector<std::string>{"FREQ? MAX", "VOLT 1\n", "AMPL?\n"}));

    Read first = ReadSome(*peer, link, 4);
    EXPECT_EQ(first.data, "R:FR");
    EXPECT_EQ(first.reason, REASON_REQUEST_COUNT);
    Read rest = ReadSome(*peer, link);
    EXPECT_EQ(rest.data, "EQ? MAX\n");
    EXPECT_EQ(rest.reason, REASON_END);
    Read term = ReadSome(*peer, link, 100, FLAG_TERMCHAR_SET, ':');
    EXPECT_EQ(term.data, "R:");
    EXPECT_EQ(term.reason, REASON_TERMCHAR);
    Read last = ReadSome(*peer, link, 100, FLAG_TERMCHAR_SET, '\n');
    EXPECT_EQ(last.data, "AMPL?\n");
    EXPECT_EQ(last.reason, REASON_TERMCHAR | REASON_END);
    EXPECT_EQ(ReadSome(*peer, link).error, IO_TIMEOUT);  // nothing was asked
}

TEST_F(CoreChannelTest, AnOverlongMessageReachesTheSessionCutJustBeyondTheLimit) {
    auto peer = Open();
    const std::uint32_t link = Link(*peer);
    const std::string piece(MAX_RECEIVE_SIZE, 'A');
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Write(*peer, link, piece, 0), NO_ERROR);
    EXPECT_EQ(Write(*peer, link, "tail\n*IDN?\n", 0), NO_ERROR);
    ASSERT_EQ(fakeMessagesRun.size(), 2u);
    EXPECT_EQ(fakeMessagesRun[0], std::string(MAX_MESSAGE_BYTES + 1, 'A'));
    EXPECT_EQ(fakeMessagesRun[1], "*IDN?\n");
}

TEST_F(CoreChannelTest, StatusByteClearAndTheProceduresThatDoNothing) {
    auto peer = Open();
    const std::uint32_t link = Link(*peer);
    Write(*peer, link, "*IDN?");
    Answer stb = Ask(*peer, DEVICE_READSTB, Words({link, 0, 0, 1000}));
    EXPECT_EQ(stb.results.U32(), NO_ERROR);
    EXPECT_EQ(stb.results.U32(), 0x10u);  // MAV: the answer waits
    Write(*peer, link, "FREQ", 0);
    EXPECT_EQ(Generic(*peer, DEVICE_CLEAR, link), NO_ERROR);
    EXPECT_EQ(fakeDeviceClears, 1);
    Answer after = Ask(*peer, DEVICE_READSTB, Words({link, 0, 0, 1000}));
    after.results.U32();
    EXPECT_EQ(after.results.U32(), 0u);
    Write(*peer, link, "?");  // the unended "FREQ" went with the clear
    EXPECT_EQ(fakeMessagesRun.back(), "?");

    EXPECT_EQ(Generic(*peer, DEVICE_REMOTE, link), NO_ERROR);
    EXPECT_EQ(Generic(*peer, DEVICE_LOCAL, link), NO_ERROR);
    EXPECT_EQ(Generic(*peer, DEVICE_TRIGGER, link), NOT_SUPPORTED);
    EXPECT_EQ(Ask(*peer, DEVICE_DOCMD, Words({link, 0, 1000, 0, 0x20000, 1, 0}) + Opaque("")).results.U32(),
              NOT_SUPPORTED);
    EXPECT_EQ(Ask(*peer, DEVICE_ENABLE_SRQ, Words({link, 1}) + Opaque("h")).results.U32(), NOT_SUPPORTED);
    EXPECT_EQ(Ask(*peer, CREATE_INTR_CHAN, Words({0x7F000001, 1234, 0x0607B1, 1, 0})).results.U32(),
              NOT_SUPPORTED);
    EXPECT_EQ(Ask(*peer, DESTROY_INTR_CHAN, "").results.U32(), NOT_SUPPORTED);
    EXPECT_EQ(Ask(*peer, NULL_PROCEDURE, "").status, 0u);

    EXPECT_EQ(Ask(*peer, DESTROY_LINK, Words({link})).results.U32(), NO_ERROR);
    EXPECT_EQ(Ask(*peer, DESTROY_LINK, Words({link})).results.U32(), INVALID_LINK);
    EXPECT_EQ(Write(*peer, link, "*IDN?"), INVALID_LINK);
    EXPECT_EQ(ReadSome(*peer, link).error, INVALID_LINK);
    EXPECT_EQ(Generic(*peer, DEVICE_CLEAR, link), INVALID_LINK);
}

TEST_F(CoreChannelTest, RpcErrorsForOtherProgramsProceduresAndArguments) {
    auto peer = Open();
    auto ask = [&](std::uint32_t program, std::uint32_t version, std::uint32_t procedure, const std::string& args) {
        const auto result = peer->channel->Receive(rpc::MarkRecord(CallRecord(1, program, version, procedure, args)));
        EXPECT_FALSE(result.close);
        rpc::RecordReader reader(1 << 20);
        reader.Add(result.bytes);
        return Parse(reader.Next().value_or(""));
    };
    EXPECT_EQ(ask(PORTMAPPER_PROGRAM, 2, 3, "").status, 1u);
    EXPECT_EQ(ask(CORE_PROGRAM, 2, 10, "").status, 2u);
    EXPECT_EQ(ask(CORE_PROGRAM, 1, 21, "").status, 3u);
    EXPECT_EQ(ask(CORE_PROGRAM, 1, CREATE_LINK, Words({1, 0, 0, 5}) + "in").status, 4u);
    EXPECT_EQ(ask(CORE_PROGRAM, 1, DEVICE_WRITE, Words({1, 0})).status, 4u);

    const auto other = peer->channel->Receive(rpc::MarkRecord(Words({1, 0, 3, 1, 1, 1, 0, 0, 0, 0})));
    EXPECT_EQ(other.bytes, rpc::MarkRecord(rpc::RpcMismatchReply(1)));
}

TEST_F(CoreChannelTest, BytesOfAnotherProtocolCloseAtOnceAndRunNothing) {
    for (const std::string& bytes : {std::string("*IDN?\nFREQ 1e6\n"), std::string("GET / HTTP/1.1\r\n\r\n"),
                                    std::string("\x80\x00\x00\x04xxxx", 8),
                                    rpc::MarkRecord(Words({1, 1, 0, 0, 0, 0}))}) {
        auto peer = Open();
        const auto result = peer->channel->Receive(bytes);
        EXPECT_TRUE(result.close);
        EXPECT_EQ(result.bytes, "");
        EXPECT_TRUE(peer->channel->Receive(rpc::MarkRecord(CallRecord(1, CORE_PROGRAM, 1, 0, ""))).bytes.empty());
    }
    EXPECT_TRUE(fakeMessagesRun.empty());
}

TEST_F(CoreChannelTest, LockRefusesOtherLinksAtOnceWithoutWaitlock) {
    auto holder = Open();
    auto other = Open();
    const std::uint32_t mine = Link(*holder);
    const std::uint32_t theirs = Link(*other);
    EXPECT_EQ(Ask(*holder, DEVICE_UNLOCK, Words({mine})).results.U32(), NO_LOCK_HELD);
    EXPECT_EQ(Ask(*holder, DEVICE_LOCK, Words({mine, 0, 0})).results.U32(), NO_ERROR);
    EXPECT_EQ(Ask(*holder, DEVICE_LOCK, Words({mine, 0, 0})).results.U32(), NO_ERROR);  // held already

    EXPECT_EQ(Write(*other, theirs, "FREQ 1"), DEVICE_LOCKED);
    EXPECT_EQ(ReadSome(*other, theirs).error, DEVICE_LOCKED);
    EXPECT_EQ(Generic(*other, DEVICE_READSTB, theirs), DEVICE_LOCKED);
    EXPECT_EQ(Generic(*other, DEVICE_CLEAR, theirs), DEVICE_LOCKED);
    EXPECT_EQ(Generic(*other, DEVICE_REMOTE, theirs), DEVICE_LOCKED);
    EXPECT_EQ(Ask(*other, DEVICE_LOCK, Words({theirs, 0, 5000})).results.U32(), DEVICE_LOCKED);
    EXPECT_EQ(Ask(*other, DEVICE_UNLOCK, Words({theirs})).results.U32(), NO_LOCK_HELD);
    EXPECT_TRUE(fakeMessagesRun.empty());
    EXPECT_TRUE(timers.empty());

    EXPECT_EQ(Write(*holder, mine, "FREQ 1"), NO_ERROR);
    EXPECT_EQ(Ask(*holder, DEVICE_UNLOCK, Words({mine})).results.U32(), NO_ERROR);
    EXPECT_EQ(Write(*other, theirs, "FREQ 2"), NO_ERROR);
}

TEST_F(CoreChannelTest, WaitlockWaitsOnATimerThenFailsAndNeverStallsTheHolder) {
    auto holder = Open();
    auto other = Open();
    const std::uint32_t mine = Link(*holder);
    const std::uint32_t theirs = Link(*other);
    ASSERT_EQ(Ask(*holder, DEVICE_LOCK, Words({mine, 0, 0})).results.U32(), NO_ERROR);

    const std::string call = rpc::MarkRecord(CallRecord(77, CORE_PROGRAM, 1, DEVICE_WRITE,
                                                        Words({theirs, 1000, 2500, FLAG_WAITLOCK | FLAG_END}) +
                                                            Opaque("FREQ 2")));
    const std::string next = rpc::MarkRecord(CallRecord(78, CORE_PROGRAM, 1, NULL_PROCEDURE, ""));
    EXPECT_EQ(other->channel->Receive(call + next).bytes, "");  // both wait
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers.begin()->second.first, std::chrono::milliseconds(2500));

    EXPECT_EQ(Write(*holder, mine, "FREQ 1"), NO_ERROR);  // the holder goes on meanwhile
    EXPECT_TRUE(FireNext());                               // the lock_timeout passes
    rpc::RecordReader reader(1 << 20);
    reader.Add(other->sent);
    Answer failed = Parse(reader.Next().value_or(""));
    EXPECT_EQ(failed.xid, 77u);
    EXPECT_EQ(failed.results.U32(), DEVICE_LOCKED);
    EXPECT_EQ(Parse(reader.Next().value_or("")).xid, 78u);
    EXPECT_EQ(fakeMessagesRun, (std::vector<std::string>{"FREQ 1"}));
    EXPECT_TRUE(timers.empty());
}

TEST_F(CoreChannelTest, WaitlockIsGrantedWhenTheLockIsReleasedOrItsHolderDrops) {
    auto holder = Open();
    auto other = Open();
    const std::uint32_t mine = Link(*holder);
    const std::uint32_t theirs = Link(*other);
    ASSERT_EQ(Ask(*holder, DEVICE_LOCK, Words({mine, 0, 0})).results.U32(), NO_ERROR);

    EXPECT_EQ(other->channel->Receive(rpc::MarkRecord(CallRecord(
                                          9, CORE_PROGRAM, 1, DEVICE_LOCK, Words({theirs, FLAG_WAITLOCK, 60000}))))
                  .bytes,
              "");
    EXPECT_EQ(Ask(*holder, DEVICE_UNLOCK, Words({mine})).results.U32(), NO_ERROR);
    while (FireNext() && other->sent.empty()) {
    }
    Answer granted = Parse(other->sent.substr(4));
    EXPECT_EQ(granted.xid, 9u);
    EXPECT_EQ(granted.results.U32(), NO_ERROR);
    EXPECT_TRUE(lock.HoldsExclusive(lock.ExclusiveHolder().value_or(0)));
    EXPECT_TRUE(timers.empty());  // the timeout was cancelled

    // Now the other link holds it; a create_link asking for the lock waits until that connection drops.
    auto third = Open();
    EXPECT_EQ(third->channel->Receive(rpc::MarkRecord(CallRecord(10, CORE_PROGRAM, 1, CREATE_LINK,
                                                                 Words({1, 1, 60000}) + Opaque("inst0"))))
                  .bytes,
              "");
    other.reset();
    while (FireNext() && third->sent.empty()) {
    }
    Answer created = Parse(third->sent.substr(4));
    EXPECT_EQ(created.results.U32(), NO_ERROR);
    EXPECT_EQ(third->channel->Links(), 1u);
    EXPECT_TRUE(lock.ExclusiveHolder().has_value());
    third.reset();
    EXPECT_FALSE(lock.ExclusiveHolder().has_value());
    EXPECT_TRUE(timers.empty());
}

TEST_F(CoreChannelTest, TheAbortProgramIsAnsweredOnTheCoreChannelsPort) {
    auto peer = Open();
    const std::uint32_t link = Link(*peer);
    auto abort = [&](std::uint32_t version, std::uint32_t procedure, std::uint32_t id) {
        const auto result =
            peer->channel->Receive(rpc::MarkRecord(CallRecord(1, ABORT_PROGRAM, version, procedure, Words({id}))));
        return Parse(result.bytes.substr(4));
    };
    EXPECT_EQ(abort(1, 1, link).results.U32(), NO_ERROR);
    EXPECT_EQ(abort(1, 1, link + 1).results.U32(), INVALID_LINK);
    EXPECT_EQ(abort(1, 0, 0).status, 0u);
    EXPECT_EQ(abort(1, 2, 0).status, 3u);
    EXPECT_EQ(abort(2, 1, link).status, 2u);
}

TEST_F(CoreChannelTest, AnAbortEndsTheRequestThatWaitsForTheLock) {
    auto holder = Open();
    auto waiter = Open();
    auto aborter = Open();
    ASSERT_EQ(Ask(*holder, DEVICE_LOCK, Words({Link(*holder), 0, 0})).results.U32(), NO_ERROR);
    const std::uint32_t link = Link(*waiter);
    const std::string read = rpc::MarkRecord(
        CallRecord(40, CORE_PROGRAM, 1, DEVICE_READ, Words({link, 100, 1000, 60000, FLAG_WAITLOCK, 0})));
    const std::string next = rpc::MarkRecord(CallRecord(41, CORE_PROGRAM, 1, NULL_PROCEDURE, ""));
    EXPECT_EQ(waiter->channel->Receive(read + next).bytes, "");

    const auto aborted =
        aborter->channel->Receive(rpc::MarkRecord(CallRecord(1, ABORT_PROGRAM, 1, 1, Words({link}))));
    EXPECT_EQ(Parse(aborted.bytes.substr(4)).results.U32(), NO_ERROR);
    rpc::RecordReader reader(1 << 20);
    reader.Add(waiter->sent);
    Answer ended = Parse(reader.Next().value_or(""));
    EXPECT_EQ(ended.xid, 40u);
    EXPECT_EQ(ended.results.U32(), ABORT);
    EXPECT_EQ(ended.results.U32(), 0u);  // no reason
    EXPECT_EQ(ended.results.U32(), 0u);  // no data
    EXPECT_EQ(Parse(reader.Next().value_or("")).xid, 41u);
    EXPECT_TRUE(timers.empty());
}

}  // namespace
}  // namespace tarvo::scpi
