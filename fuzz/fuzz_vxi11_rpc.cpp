// Any bytes into the ONC RPC decoder: as a TCP stream to a VXI-11 core channel (over the tests' stand-in for the
// SCPI session, with the real lock), and as a portmapper datagram. It never crashes; the channel
// answers whole records only, the same whatever the bytes' split, and nothing once it asked to close; links
// stay within their limit; every lock wait has its timer.
#include "scpi/network/OncRpc.h"
#include "scpi/network/Vxi11.h"
#include "tests/vxi11_fakes.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace {

using namespace tarvo::scpi;

void Require(bool condition) {
    if (!condition) std::abort();
}

// Runs the stream through a fresh channel, in pieces whose lengths the bytes choose (whole when `split` is
// false), firing every timer at the end; returns everything the channel answered.
std::string Run(std::string_view bytes, bool split) {
    FakeInstruments instruments;
    InstrumentLock lock;
    vxi11::LinkRegistry registry(instruments, lock, 4);
    std::map<std::uint64_t, std::function<void()>> timers;
    std::uint64_t lastTimer = 0;
    std::string out;
    bool closed = false;
    vxi11::CoreChannel::Hooks hooks;
    hooks.send = [&](std::string b) {
        Require(!closed);
        out += b;
    };
    hooks.close = [&] { closed = true; };
    hooks.after = [&](std::chrono::milliseconds, std::function<void()> run) {
        timers[++lastTimer] = std::move(run);
        return lastTimer;
    };
    hooks.cancel = [&](std::uint64_t id) { timers.erase(id); };
    {
        vxi11::CoreChannel channel(registry, hooks);
        std::size_t at = 0;
        while (at < bytes.size() && !closed) {
            const std::size_t piece = split ? 1 + static_cast<unsigned char>(bytes[at]) % 7 : bytes.size();
            const auto result = channel.Receive(bytes.substr(at, piece));
            out += result.bytes;
            if (result.close) closed = true;
            at += piece;
            Require(registry.links.size() <= 4);
        }
        for (int i = 0; i < 100 && !timers.empty(); ++i) {
            auto run = std::move(timers.begin()->second);
            timers.erase(timers.begin());
            run();
        }
        Require(timers.empty());
    }
    Require(registry.links.empty() && !lock.ExclusiveHolder());
    tarvo::scpi::rpc::RecordReader replies(1 << 20, 1 << 30);
    replies.Add(out);
    while (replies.Next()) {
    }
    Require(!replies.Invalid() && replies.Held() == 0);
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Require(Run(bytes, false) == Run(bytes, true));

    const std::vector<vxi11::Mapping> mappings = {{vxi11::CORE_PROGRAM, 1, vxi11::PROTOCOL_TCP, 1024}};
    for (const bool broadcast : {false, true}) vxi11::AnswerPortmapper(bytes, mappings, broadcast);
    return 0;
}
