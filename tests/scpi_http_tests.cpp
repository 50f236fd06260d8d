// The web pages on bytes: the HTTP request reader's bounds and refusals, the own-host and same-origin checks,
// the JSON API's changes reaching a fake set of generators (or not), and the identification XML.
#include "scpi/network/HttpConnection.h"
#include "scpi/network/HttpMessage.h"
#include "scpi/network/WebSite.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarvo::scpi {
namespace {

// Generators by serial number, with every request the site makes of them written down.
class FakeInstruments : public Instruments {
public:
    std::vector<std::string> attached{"TPG-1"};
    std::vector<std::string> sent;  // "F 12345678", "A 360", "R"
    std::string manufacturer = "Tarvo & Co";
    DeviceStatus status{10000000, 360, 10000000, 360};

    const std::optional<std::string>& Only() const override { return only_; }
    std::vector<std::string> Catalog() override { return attached; }
    Choice DefaultGenerator() override {
        if (attached.size() == 1) return {attached.front(), false, {}};
        return {std::nullopt, attached.size() > 1, attached.empty() ? "none attached" : "several attached"};
    }
    Choice Select(const std::string& serial) override {
        if (!Has(serial)) return {std::nullopt, false, serial + " is not attached"};
        return {serial, false, {}};
    }
    InstrumentResult Identity(const std::string& serial, InstrumentIdentity& identity) override {
        if (!Has(serial)) return {InstrumentOutcome::Missing, serial + " is not attached"};
        identity = {manufacturer, "Pulse <Generator>", "1.00"};
        return {};
    }
    InstrumentResult ReadStatus(const std::string& serial, DeviceStatus& out) override {
        if (!Has(serial)) return {InstrumentOutcome::Missing, serial + " is not attached"};
        out = status;
        return {};
    }
    InstrumentResult SendFrequency(const std::string& serial, std::int32_t hertz) override {
        return Record(serial, "F " + std::to_string(hertz));
    }
    InstrumentResult SendAmplitude(const std::string& serial, int index) override {
        return Record(serial, "A " + std::to_string(index));
    }
    InstrumentResult RestoreDefaults(const std::string& serial) override { return Record(serial, "R"); }
    bool Simulating() const override { return false; }
    bool PlugSimulated(const std::string&) override { return false; }
    bool UnplugSimulated(const std::string&) override { return false; }
    std::vector<std::string> TakeReports(const std::string&) override { return {}; }

private:
    bool Has(const std::string& serial) const {
        return std::find(attached.begin(), attached.end(), serial) != attached.end();
    }
    InstrumentResult Record(const std::string& serial, std::string what) {
        if (!Has(serial)) return {InstrumentOutcome::Missing, serial + " is not attached"};
        sent.push_back(serial + " " + what);
        return {};
    }
    std::optional<std::string> only_;
};

net::Endpoint V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, std::uint16_t port) {
    net::Endpoint e;
    e.address = {a, b, c, d};
    e.port = port;
    return e;
}
net::Endpoint LoopbackV6(std::uint16_t port) {
    net::Endpoint e;
    e.v6 = true;
    e.address[15] = 1;
    e.port = port;
    return e;
}

// Feeds bytes one at a time; the outcome after the last one.
HttpRequestReader::Outcome FeedByByte(HttpRequestReader& reader, std::string_view bytes, HttpRequest& request) {
    HttpRequestReader::Outcome outcome = HttpRequestReader::Outcome::NeedMore;
    for (char c : bytes) {
        reader.Add(std::string_view(&c, 1));
        outcome = reader.Next(request);
        if (outcome == HttpRequestReader::Outcome::Refused) break;
    }
    return outcome;
}

TEST(HttpReader, PipelinedRequestsByteByByteAndKeepAlive) {
    HttpRequestReader reader;
    HttpRequest request;
    const std::string two = "POST /api/restore?x=1 HTTP/1.1\r\nHost: a\r\nContent-Length: 2\r\n\r\n{}"
                            "GET / HTTP/1.0\nHost:  b \n\n";
    EXPECT_EQ(FeedByByte(reader, two.substr(0, two.find("GET")), request), HttpRequestReader::Outcome::Request);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/restore");
    EXPECT_EQ(request.query, "x=1");
    EXPECT_EQ(request.body, "{}");
    EXPECT_TRUE(request.KeepAlive());
    EXPECT_FALSE(reader.Pending());
    EXPECT_EQ(FeedByByte(reader, two.substr(two.find("GET")), request), HttpRequestReader::Outcome::Request);
    EXPECT_EQ(request.path, "/");
    EXPECT_EQ(request.Header("host"), "b");
    EXPECT_FALSE(request.KeepAlive());  // HTTP/1.0
}

TEST(HttpReader, OtherProtocolsAndMalformedRequestsAreRefusedAtOnce) {
    struct Case {
        std::string bytes;
        int status;
    };
    const std::vector<Case> cases = {
        {"*", 400},                       // SCPI: refused on its first byte
        {"FREQ 1000\n", 400},
        {"GETX / HTTP/1.1\r\n", 400},
        {std::string("\x80\0\0\x28", 4), 400},  // an ONC RPC record mark
        {"HSxx", 400},                     // HiSLIP's prologue
        {"GET  / HTTP/1.1\r\n", 400},
        {"GET http://a/ HTTP/1.1\r\n", 400},
        {"GET / HTTP/2.0\r\n", 505},
        {"GET / HTTP/1.1\r\n\r\n", 400},  // no Host
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
        // A body over the bound is refused from its header, before any of it arrives.
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 4097\r\n\r\n", 413},
    };
    for (const Case& c : cases) {
        HttpRequestReader reader;
        HttpRequest request;
        EXPECT_EQ(FeedByByte(reader, c.bytes, request), HttpRequestReader::Outcome::Refused) << c.bytes;
        EXPECT_EQ(reader.RefusedStatus(), c.status) << c.bytes;
        EXPECT_FALSE(reader.Pending());
    }
}

TEST(HttpReader, HeadBoundsHold) {
    HttpRequestReader reader;
    HttpRequest request;
    reader.Add("GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(9000, 'y'));
    EXPECT_EQ(reader.Next(request), HttpRequestReader::Outcome::Refused);
    EXPECT_EQ(reader.RefusedStatus(), 431);

    HttpRequestReader many;
    std::string head = "GET / HTTP/1.1\r\nHost: a\r\n";
    for (int i = 0; i < 70; ++i) head += "X" + std::to_string(i) + ": 1\r\n";
    many.Add(head);
    EXPECT_EQ(many.Next(request), HttpRequestReader::Outcome::Refused);
    EXPECT_EQ(many.RefusedStatus(), 431);

    // An unfinished request is pending (the connection's timer runs), a finished one is not.
    HttpRequestReader slow;
    slow.Add("GET / HTTP/1.1\r\nHost: a\r\n");
    EXPECT_EQ(slow.Next(request), HttpRequestReader::Outcome::NeedMore);
    EXPECT_TRUE(slow.Pending());
}

class Site : public ::testing::Test {
protected:
    FakeInstruments instruments;
    InstrumentLock lock;
    const net::Endpoint local = V4(127, 0, 0, 1, 8080);
    WebSite site{instruments, lock,
                 {"bench7",
                  {{"http", V4(127, 0, 0, 1, 8080)}, {"http", LoopbackV6(8080)}, {"scpi-raw", V4(0, 0, 0, 0, 5025)},
                   {"hislip", V4(0, 0, 0, 0, 4880)}, {"vxi11", V4(0, 0, 0, 0, 1024)}}}};

    HttpResponse Send(const std::string& method, const std::string& target,
                      std::vector<std::pair<std::string, std::string>> headers, std::string body = {}) {
        HttpRequest request;
        request.method = method;
        const std::size_t q = target.find('?');
        request.path = target.substr(0, q);
        if (q != std::string::npos) request.query = target.substr(q + 1);
        request.headers = std::move(headers);
        request.body = std::move(body);
        return site.Answer(request, local);
    }
    HttpResponse Change(const std::string& path, std::string body) {
        return Send("POST", path,
                    {{"host", "127.0.0.1:8080"}, {"content-type", "application/json"}, {"origin", "http://127.0.0.1:8080"}},
                    std::move(body));
    }
};

TEST_F(Site, OnlyItsOwnNamesAndAddressesAreAnswered) {
    for (const char* host : {"localhost", "LOCALHOST:8080", "bench7", "bench7.local:8080", "127.0.0.1", "127.0.0.1:8080",
                             "[::1]:8080"})
        EXPECT_TRUE(site.OwnHost(host, local)) << host;
    for (const char* host : {"evil.example", "evil.example:8080", "localhost:8081", "bench7.example", "0.0.0.0",
                             "127.0.0.2", "[::1", "", ":8080", "localhost.", "[::2]"})
        EXPECT_FALSE(site.OwnHost(host, local)) << host;
    // The address the client reached counts when the server listens on every address.
    EXPECT_TRUE(site.OwnHost("192.0.2.7:5025", V4(192, 0, 2, 7, 5025)));

    EXPECT_EQ(Send("GET", "/", {{"host", "attacker.example:8080"}}).status, 421);
    EXPECT_EQ(Send("GET", "/api/state", {}).status, 400);
    EXPECT_EQ(Change("/api/restore", "{}").status, 200);
    EXPECT_EQ(Send("POST", "/api/restore", {{"host", "rebound.example:8080"}, {"content-type", "application/json"}}, "{}").status,
              421);
    EXPECT_EQ(instruments.sent, std::vector<std::string>{"TPG-1 R"});
}

TEST_F(Site, ChangesFromOtherOriginsOrFormsReachNothing) {
    const std::string host = "127.0.0.1:8080";
    struct Case {
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
    };
    const std::vector<Case> refused = {
        {{{"host", host}, {"content-type", "application/x-www-form-urlencoded"}}, 415},
        {{{"host", host}, {"content-type", "text/plain"}, {"origin", "http://" + host}}, 415},
        {{{"host", host}, {"content-type", "multipart/form-data; boundary=x"}}, 415},
        {{{"host", host}}, 415},
        {{{"host", host}, {"content-type", "application/json"}, {"origin", "http://evil.example"}}, 403},
        {{{"host", host}, {"content-type", "application/json"}, {"origin", "null"}}, 403},
        {{{"host", host}, {"content-type", "application/json"}, {"origin", "http://127.0.0.1:9999"}}, 403},
        {{{"host", host}, {"content-type", "application/json"}, {"sec-fetch-site", "cross-site"}}, 403},
        {{{"host", host}, {"content-type", "application/json"}, {"sec-fetch-site", "same-site"}}, 403},
    };
    for (const Case& c : refused) {
        for (const char* path : {"/api/frequency", "/api/amplitude", "/api/restore"}) {
            const HttpResponse response = Send("POST", path, c.headers, R"({"text":"30000","index":0})");
            EXPECT_EQ(response.status, c.status) << path << " " << c.headers.back().second;
        }
    }
    EXPECT_TRUE(instruments.sent.empty());
    // A GET never changes anything, and no method but POST is taken by the changing paths.
    EXPECT_EQ(Send("GET", "/api/restore", {{"host", host}}).status, 405);
    EXPECT_EQ(Send("OPTIONS", "/api/frequency", {{"host", host}, {"origin", "http://evil.example"}}).status, 405);
    EXPECT_TRUE(instruments.sent.empty());
    // A script of the page itself: JSON, its own origin (or none, as curl sends).
    EXPECT_EQ(Send("POST", "/api/restore", {{"host", host}, {"content-type", "Application/JSON; charset=utf-8"},
                                            {"sec-fetch-site", "same-origin"}}, "{}").status, 200);
}

TEST_F(Site, ChangesFollowTheWindowsRules) {
    HttpResponse r = Change("/api/frequency", R"({"text":" 12345678.5 "})");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, R"({"sent":true,"frequency":12345679,"text":"12345679"})");
    // Refused texts send nothing and carry the window's message; an out-of-range one is replaced by the bound.
    r = Change("/api/frequency", R"({"text":"12,5"})");
    EXPECT_EQ(r.status, 422);
    EXPECT_EQ(r.body, R"({"sent":false,"title":"Bad input","prompt":"Enter pulse frequency in Hz","text":"12,5"})");
    r = Change("/api/frequency", R"({"text":"24999.5"})");
    EXPECT_EQ(r.body, R"({"sent":false,"title":"Bad data range","prompt":"Pulse frequency is between 25kHz and 350MHz","text":"25000"})");
    EXPECT_EQ(Change("/api/amplitude", R"({"index":510})").status, 200);
    EXPECT_EQ(Change("/api/amplitude", R"({"millivolts":"1161"})").status, 200);
    for (const char* bad : {R"({"index":511})", R"({"index":-1})", R"({"index":"1e2"})", R"({"millivolts":"1162"})", R"({})"})
        EXPECT_EQ(Change("/api/amplitude", bad).status, 422) << bad;
    EXPECT_EQ(Change("/api/frequency", R"({"text":"30000","serial":"TPG-9"})").status, 404);
    for (const char* bad : {"", "[]", R"({"text":{"a":1}})", R"({"text":"30000",})", "{\"text\":\"30000\"} x"})
        EXPECT_EQ(Change("/api/frequency", bad).status, 400) << bad;
    EXPECT_EQ(instruments.sent, (std::vector<std::string>{"TPG-1 F 12345679", "TPG-1 A 510", "TPG-1 A 360"}));

    // Another session's lock keeps the web's changes out until it is released; reading goes on.
    const SessionId holder = lock.NewSession();
    ASSERT_TRUE(lock.TryExclusive(holder));
    EXPECT_EQ(Change("/api/restore", "{}").status, 423);
    EXPECT_NE(Send("GET", "/api/state", {{"host", "localhost"}}).body.find("\"locked\":true"), std::string::npos);
    EXPECT_EQ(instruments.sent.size(), 3u);
    lock.ReleaseAll(holder);

    // With two generators and none named, a change goes nowhere.
    instruments.attached.push_back("TPG-2");
    EXPECT_EQ(Change("/api/restore", "{}").status, 409);
    EXPECT_EQ(Change("/api/restore", R"({"serial":"TPG-2"})").status, 200);
    EXPECT_EQ(instruments.sent.back(), "TPG-2 R");
}

TEST_F(Site, StateFollowsTheGenerators) {
    instruments.status = {30000, 0, 30000, 0};
    EXPECT_EQ(Send("GET", "/api/state", {{"host", "localhost:8080"}}).body,
              R"({"generators":["TPG-1"],"serial":"TPG-1","locked":false,"attached":true,"manufacturer":"Tarvo \u0026 Co",)"
              R"("model":"Pulse \u003cGenerator\u003e","version":"1.00","frequency":30000,"frequencyText":"30000",)"
              R"("amplitudeIndex":0,"amplitude":"49"})");
    // An index outside the list (from a faulty generator side) is shown without a value, never read past it.
    instruments.status = {30000, -5, 30000, -5};
    EXPECT_NE(Send("GET", "/api/state", {{"host", "localhost"}}).body.find(R"("amplitudeIndex":-5,"amplitude":"")"),
              std::string::npos);
    instruments.attached.clear();
    EXPECT_EQ(Send("GET", "/api/state?serial=TPG%2D1", {{"host", "localhost"}}).body,
              R"({"generators":[],"serial":"TPG-1","locked":false,"attached":false,"error":"no generator is attached"})");
}

TEST_F(Site, PagesCarryTheWindowsCaptionsAndNoCorsHeader) {
    const HttpResponse control = Send("GET", "/control", {{"host", "localhost"}});
    EXPECT_EQ(control.status, 200);
    for (const char* text : {">Pulse frequency, Hz</button>", ">Amplitude into 50R load, mV</label>",
                             ">Restore default settings</button>", ">Serial Number</label>", "<option value=\"510\">1624</option>",
                             "<script src=\"/control.js\">"})
        EXPECT_NE(control.body.find(text), std::string::npos) << text;
    EXPECT_EQ(control.body.find("http"), std::string::npos);  // nothing from another site

    const HttpResponse welcome = Send("GET", "/lxi", {{"host", "localhost"}});
    for (const char* text : {"Tarvo &amp; Co", "Pulse &lt;Generator&gt;", "TCPIP::127.0.0.1::5025::SOCKET",
                             "TCPIP::127.0.0.1::hislip0::INSTR", "TCPIP::127.0.0.1::inst0::INSTR", "bench7"})
        EXPECT_NE(welcome.body.find(text), std::string::npos) << text;

    for (const char* path : {"/", "/control", "/control.js", "/style.css", "/api/state", "/lxi/identification", "/nope"}) {
        const std::string bytes = WriteResponse(Send("GET", path, {{"host", "localhost"}, {"origin", "http://evil.example"}}), false);
        EXPECT_EQ(bytes.find("Access-Control"), std::string::npos) << path;
        EXPECT_NE(bytes.find("X-Frame-Options: DENY"), std::string::npos) << path;
    }
    EXPECT_EQ(Send("GET", "/nope", {{"host", "localhost"}}).status, 404);
    EXPECT_EQ(Send("POST", "/", {{"host", "localhost"}}).status, 405);
}

TEST_F(Site, IdentificationXmlHasItsElementsInTheSchemasOrder) {
    const HttpResponse xml = Send("GET", "/lxi/identification", {{"host", "127.0.0.1:8080"}});
    EXPECT_EQ(xml.contentType.rfind("text/xml", 0), 0u);
    std::size_t at = 0;
    for (const char* element :
         {"<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\"",
          "<Manufacturer>Tarvo &amp; Co</Manufacturer>", "<Model>Pulse &lt;Generator&gt;</Model>",
          "<SerialNumber>TPG-1</SerialNumber>", "<FirmwareRevision>1.00</FirmwareRevision>", "<ManufacturerDescription>",
          "<HomepageURL>http://127.0.0.1:8080/</HomepageURL>", "<DriverURL>", "<UserDescription>",
          "<IdentificationURL>http://127.0.0.1:8080/lxi/identification</IdentificationURL>",
          "<Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"IPv4\"",
          "<InstrumentAddressString>TCPIP::127.0.0.1::5025::SOCKET</InstrumentAddressString>",
          "<Hostname>bench7</Hostname>", "<IPAddress>127.0.0.1</IPAddress>", "</Interface>", "<LXIVersion>",
          "</LXIDevice>"}) {
        const std::size_t found = xml.body.find(element, at);
        ASSERT_NE(found, std::string::npos) << element << "\n" << xml.body;
        at = found;
    }
}

TEST_F(Site, ConnectionAnswersInOrderAndClosesWhenRefused) {
    HttpConnection connection(site, local);
    Reply reply = connection.Receive("GET /style.css HTTP/1.1\r\nHost: localhost\r\n\r\nHEAD / HTTP/1.1\r\nHost: localhost\r\n\r\nGET");
    EXPECT_FALSE(reply.close);
    EXPECT_EQ(reply.bytes.rfind("HTTP/1.1 200 OK\r\nContent-Type: text/css", 0), 0u);
    const std::size_t second = reply.bytes.find("HTTP/1.1 200 OK\r\nContent-Type: text/html");
    ASSERT_NE(second, std::string::npos);
    EXPECT_EQ(reply.bytes.substr(reply.bytes.size() - 4), "\r\n\r\n");  // HEAD: no body
    EXPECT_TRUE(connection.Pending());
    reply = connection.Receive(" / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(reply.close);
    EXPECT_NE(reply.bytes.find("Connection: close"), std::string::npos);
    EXPECT_TRUE(connection.Receive("GET / HTTP/1.1\r\n\r\n").bytes.empty());

    // Requests sent all at once are answered up to a bound, then the connection closes.
    HttpConnection flood(site, local);
    std::string many;
    for (int i = 0; i < 40; ++i) many += "GET /control HTTP/1.1\r\nHost: localhost\r\n\r\n";
    reply = flood.Receive(many);
    EXPECT_TRUE(reply.close);
    std::size_t answers = 0;
    for (std::size_t at = reply.bytes.find("HTTP/1.1 200"); at != std::string::npos; at = reply.bytes.find("HTTP/1.1 200", at + 1))
        ++answers;
    EXPECT_EQ(answers, static_cast<std::size_t>(HttpConnection::MAX_REQUESTS_AT_ONCE));

    HttpConnection scpi(site, local);
    reply = scpi.Receive("FREQ 30000\n");
    EXPECT_TRUE(reply.close);
    EXPECT_EQ(reply.bytes.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u);
    EXPECT_TRUE(instruments.sent.empty());
}

}  // namespace
}  // namespace tarvo::scpi
