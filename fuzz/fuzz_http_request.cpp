// Any bytes on a web connection, in any split: the answers are the same whether the bytes come whole or in the
// pieces the input's first byte chooses (except that many requests in one read close the connection early),
// every answer is a whole HTTP/1.1 response, nothing is answered after the connection closed, and a change
// reaches a generator only through a request the site accepts.
#include "scpi/network/HttpConnection.h"
#include "scpi/network/WebSite.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

using namespace tarvo;
using namespace tarvo::scpi;

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

class OneGenerator : public Instruments {
public:
    int changes = 0;
    const std::optional<std::string>& Only() const override { return only_; }
    std::vector<std::string> Catalog() override { return {"TPG-1"}; }
    Choice DefaultGenerator() override { return {"TPG-1", false, {}}; }
    Choice Select(const std::string& serial) override {
        return serial == "TPG-1" ? Choice{serial, false, {}} : Choice{std::nullopt, false, "gone"};
    }
    InstrumentResult Identity(const std::string& serial, InstrumentIdentity& identity) override {
        identity = {"Tarvo", "Pulse Generator", "1.00"};
        return Known(serial);
    }
    InstrumentResult ReadStatus(const std::string& serial, DeviceStatus& status) override {
        status = {10000000, 360, 10000000, 360};
        return Known(serial);
    }
    InstrumentResult SendFrequency(const std::string& serial, std::int32_t hertz) override {
        Require(hertz >= FOUT_MIN_HZ && hertz <= FOUT_MAX_HZ);
        return Change(serial);
    }
    InstrumentResult SendAmplitude(const std::string& serial, int index) override {
        Require(index >= 0 && index < VOUT_ENTRY_COUNT);
        return Change(serial);
    }
    InstrumentResult RestoreDefaults(const std::string& serial) override { return Change(serial); }
    bool Simulating() const override { return false; }
    bool PlugSimulated(const std::string&) override { return false; }
    bool UnplugSimulated(const std::string&) override { return false; }
    std::vector<std::string> TakeReports(const std::string&) override { return {}; }

private:
    static InstrumentResult Known(const std::string& serial) {
        return serial == "TPG-1" ? InstrumentResult{} : InstrumentResult{InstrumentOutcome::Missing, "gone"};
    }
    InstrumentResult Change(const std::string& serial) {
        const InstrumentResult result = Known(serial);
        if (result.outcome == InstrumentOutcome::Done) ++changes;
        return result;
    }
    std::optional<std::string> only_;
};

struct Run {
    std::string answers;
    bool closed = false;
    int changes = 0;
};

Run Serve(std::string_view bytes, std::size_t piece) {
    OneGenerator generators;
    InstrumentLock lock;
    net::Endpoint local;
    local.address = {127, 0, 0, 1};
    local.port = 80;
    WebSite site(generators, lock, {"bench", {{"http", local}}});
    HttpConnection connection(site, local);
    Run run;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        const Reply reply = connection.Receive(bytes.substr(at, piece));
        Require(!run.closed || reply.bytes.empty());
        Require(reply.bytes.empty() || reply.bytes.rfind("HTTP/1.1 ", 0) == 0);
        run.answers += reply.bytes;
        run.closed = run.closed || reply.close;
    }
    run.changes = generators.changes;
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = data[0] % 16 + 1;
    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    const Run whole = Serve(bytes, bytes.size() + 1);
    const Run split = Serve(bytes, piece);
    if (whole.answers == split.answers) {
        Require(whole.closed == split.closed);
        Require(whole.changes == split.changes);
    } else {
        // Many requests in one read: the first ones are answered as in small pieces, then the connection closes.
        Require(whole.closed && split.answers.rfind(whole.answers, 0) == 0 && whole.changes <= split.changes);
    }
    return 0;
}
