#include "WebSite.h"

#include "Listeners.h"
#include "WebAssets.h"
#include "protocol/AmplitudeList.h"
#include "protocol/FrequencyInput.h"
#include "window/Controls.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace tarvo::scpi {
namespace {

constexpr const char* JSON_TYPE = "application/json";
constexpr const char* HTML_TYPE = "text/html; charset=utf-8";
constexpr std::uint16_t HISLIP_PORT = 4880;

std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

const char* Caption(ControlId id) { return Designed(id).caption; }

// The address part of an endpoint as a URL or a Host header writes it: "127.0.0.1", "[::1]".
std::string AddressText(const net::Endpoint& endpoint) {
    const std::string text = net::EndpointText(endpoint);
    return text.substr(0, text.rfind(':'));
}

bool Unspecified(const net::Endpoint& endpoint) {
    return std::all_of(endpoint.address.begin(), endpoint.address.begin() + (endpoint.v6 ? 16 : 4),
                       [](std::uint8_t b) { return b == 0; });
}

HttpResponse Json(int status, std::string body) {
    HttpResponse response;
    response.status = status;
    response.contentType = JSON_TYPE;
    response.body = std::move(body);
    return response;
}

HttpResponse JsonError(int status, std::string_view why) {
    return Json(status, "{\"error\":" + JsonString(why) + "}");
}

HttpResponse Text(int status, std::string_view why) {
    HttpResponse response;
    response.status = status;
    response.contentType = "text/plain; charset=utf-8";
    response.body = std::string(why) + "\n";
    return response;
}

// One parameter of a query string, percent-decoded ('+' is a space); empty when absent or malformed.
std::string QueryParameter(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) != name || eq == std::string_view::npos) continue;
        std::string value;
        const std::string_view raw = pair.substr(eq + 1);
        for (std::size_t i = 0; i < raw.size(); ++i) {
            if (raw[i] == '+') {
                value += ' ';
            } else if (raw[i] == '%') {
                if (raw.size() - i < 3) return {};
                const std::string hex(raw.substr(i + 1, 2));
                if (hex.size() != 2 || !std::isxdigit(static_cast<unsigned char>(hex[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(hex[1])))
                    return {};
                value += static_cast<char>(std::strtol(hex.c_str(), nullptr, 16));
                i += 2;
            } else {
                value += raw[i];
            }
        }
        return value;
    }
    return {};
}

const std::string* Member(const std::vector<std::pair<std::string, std::string>>& object, std::string_view name) {
    for (const auto& [key, value] : object)
        if (key == name) return &value;
    return nullptr;
}

std::string OptionalJson(const std::optional<std::string>& text) { return text ? JsonString(*text) : "null"; }

// What an instrument's refusal is, as an API answer.
HttpResponse Refused(const InstrumentResult& result) {
    const int status = result.outcome == InstrumentOutcome::Missing     ? 404
                       : result.outcome == InstrumentOutcome::Ambiguous ? 409
                                                                         : 502;
    return JsonError(status, result.detail);
}

}  // namespace

std::string EscapeMarkup(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::optional<std::vector<std::pair<std::string, std::string>>> ParseFlatJson(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> members;
    std::size_t i = 0;
    const auto blank = [&] {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' || text[i] == '\n')) ++i;
    };
    // A string literal at i, decoded; only \uXXXX below 0x80 is taken among the \u escapes.
    const auto string = [&]() -> std::optional<std::string> {
        if (i >= text.size() || text[i] != '"') return std::nullopt;
        ++i;
        std::string out;
        while (i < text.size() && text[i] != '"') {
            const char c = text[i++];
            if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i >= text.size()) return std::nullopt;
            const char e = text[i++];
            switch (e) {
            case '"': case '\\': case '/': out += e; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (text.size() - i < 4) return std::nullopt;
                unsigned value = 0;
                for (int k = 0; k < 4; ++k) {
                    const char h = text[i++];
                    if (!std::isxdigit(static_cast<unsigned char>(h))) return std::nullopt;
                    value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (std::tolower(h) - 'a' + 10));
                }
                if (value >= 0x80) return std::nullopt;
                out += static_cast<char>(value);
                break;
            }
            default: return std::nullopt;
            }
        }
        if (i >= text.size()) return std::nullopt;
        ++i;
        return out;
    };
    blank();
    if (i >= text.size() || text[i] != '{') return std::nullopt;
    ++i;
    blank();
    if (i < text.size() && text[i] == '}') {
        ++i;
    } else {
        for (;;) {
            blank();
            auto key = string();
            if (!key) return std::nullopt;
            blank();
            if (i >= text.size() || text[i] != ':') return std::nullopt;
            ++i;
            blank();
            std::string value;
            if (i < text.size() && text[i] == '"') {
                auto s = string();
                if (!s) return std::nullopt;
                value = std::move(*s);
            } else {
                const std::size_t start = i;
                while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '-' ||
                                           text[i] == '+' || text[i] == '.'))
                    ++i;
                value = std::string(text.substr(start, i - start));
                if (value.empty()) return std::nullopt;
            }
            if (members.size() >= 32) return std::nullopt;
            members.emplace_back(std::move(*key), std::move(value));
            blank();
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            if (i < text.size() && text[i] == '}') {
                ++i;
                break;
            }
            return std::nullopt;
        }
    }
    blank();
    if (i != text.size()) return std::nullopt;
    return members;
}

WebSite::WebSite(Instruments& instruments, InstrumentLock& lock, WebSiteSettings settings)
    : instruments_(instruments), lock_(lock), settings_(std::move(settings)) {}

void WebSite::Serving(const std::vector<Server::Listening>& sockets) {
    settings_.listening.clear();
    for (const Server::Listening& socket : sockets)
        if (!socket.datagram) settings_.listening.push_back({socket.protocol, socket.endpoint});
}

std::string WebSite::PageUrl() const {
    for (const WebSiteSettings::Served& served : settings_.listening) {
        if (served.protocol != HTTP) continue;
        const std::string host = Unspecified(served.endpoint) ? settings_.hostName : AddressText(served.endpoint);
        return "http://" + host + (served.endpoint.port == 80 ? "" : ":" + std::to_string(served.endpoint.port)) + "/";
    }
    return {};
}

bool WebSite::OwnHost(std::string_view host, const net::Endpoint& local) const {
    std::string name = Lower(host);
    std::string port;
    if (!name.empty() && name.front() == '[') {
        const std::size_t close = name.find(']');
        if (close == std::string::npos) return false;
        port = name.substr(close + 1);
        name.resize(close + 1);
    } else if (const std::size_t colon = name.find(':'); colon != std::string::npos) {
        port = name.substr(colon);
        name.resize(colon);
    }
    if (!port.empty() && port != ":" + std::to_string(local.port)) return false;
    if (name.empty()) return false;
    const std::string hostName = Lower(settings_.hostName);
    if (name == "localhost" || (!hostName.empty() && (name == hostName || name == hostName + ".local"))) return true;
    if (name == AddressText(local)) return true;
    return std::any_of(settings_.listening.begin(), settings_.listening.end(), [&](const WebSiteSettings::Served& s) {
        return !Unspecified(s.endpoint) && name == AddressText(s.endpoint);
    });
}

HttpResponse WebSite::Answer(const HttpRequest& request, const net::Endpoint& local) {
    const auto host = request.Header("host");
    if (!host) return Text(400, "A Host header is required.");
    if (!OwnHost(*host, local)) return Text(421, "This server does not answer to that host name.");
    if (request.path.rfind("/api/", 0) == 0) return Api(request);
    return Page(request, local);
}

HttpResponse WebSite::Page(const HttpRequest& request, const net::Endpoint& local) {
    const bool read = request.method == "GET" || request.method == "HEAD";
    HttpResponse response;
    if (request.path == "/" || request.path == "/lxi") {
        response.contentType = HTML_TYPE;
        if (read) response.body = WelcomePage(local);
    } else if (request.path == "/lxi/identification") {
        response.contentType = "text/xml; charset=utf-8";
        if (read) response.body = IdentificationXml(request, local);
    } else if (request.path == "/control") {
        response.contentType = HTML_TYPE;
        if (read) response.body = ControlPage();
    } else if (request.path == "/control.js") {
        response.contentType = "text/javascript; charset=utf-8";
        response.body = std::string(ControlScript());
    } else if (request.path == "/style.css") {
        response.contentType = "text/css; charset=utf-8";
        response.body = std::string(StyleSheet());
    } else {
        return Text(404, "No such page.");
    }
    if (!read) {
        response = Text(405, "Only GET and HEAD are answered here.");
        response.headers.emplace_back("Allow", "GET, HEAD");
    }
    return response;
}

std::string WebSite::ForeignOrigin(const HttpRequest& request) const {
    // A form of another site can only send form or text bodies, and a script of another site cannot send JSON
    // here without asking first (a preflight this server never grants).
    const std::string type = Lower(request.Header("content-type").value_or(""));
    if (type.substr(0, type.find(';')) != JSON_TYPE) return "a change must be sent as application/json";
    const std::string ownOrigin = "http://" + Lower(*request.Header("host"));
    if (const auto origin = request.Header("origin"); origin && Lower(*origin) != ownOrigin)
        return "a change must come from this server's own pages";
    if (const auto site = request.Header("sec-fetch-site"); site && *site != "same-origin" && *site != "none")
        return "a change must come from this server's own pages";
    return {};
}

HttpResponse WebSite::Api(const HttpRequest& request) {
    if (request.path == "/api/state") {
        if (request.method != "GET" && request.method != "HEAD") {
            HttpResponse response = JsonError(405, "only GET");
            response.headers.emplace_back("Allow", "GET, HEAD");
            return response;
        }
        return Json(200, StateJson(QueryParameter(request.query, "serial")));
    }
    const bool change = request.path == "/api/frequency" || request.path == "/api/amplitude" ||
                        request.path == "/api/restore";
    if (!change) return JsonError(404, "no such API");
    if (request.method != "POST") {
        HttpResponse response = JsonError(405, "only POST");
        response.headers.emplace_back("Allow", "POST");
        return response;
    }
    if (const std::string why = ForeignOrigin(request); !why.empty())
        return JsonError(why.find("application/json") != std::string::npos ? 415 : 403, why);
    const auto body = ParseFlatJson(request.body);
    if (!body) return JsonError(400, "the body is not a flat JSON object");
    // The web takes no lock of its own: it may change a generator only while no session holds the lock.
    if (lock_.ExclusiveHolder() || lock_.Sharers() != 0) return JsonError(423, "another session holds the lock");

    std::string serial;
    if (const std::string* named = Member(*body, "serial"); named && !named->empty()) {
        serial = *named;
    } else {
        const Instruments::Choice choice = instruments_.DefaultGenerator();
        if (!choice.serial) return JsonError(choice.several ? 409 : 404, choice.why);
        serial = *choice.serial;
    }

    if (request.path == "/api/frequency") {
        const std::string* text = Member(*body, "text");
        if (!text) return JsonError(400, "\"text\" is missing");
        const FrequencyCheck check = CheckFrequencyText(*text);
        if (check.verdict != FrequencyVerdict::Accepted) {
            const std::string shown = check.verdict == FrequencyVerdict::OutOfRange ? HertzText(check.hertz) : *text;
            return Json(422, "{\"sent\":false,\"title\":" + JsonString(check.title) + ",\"prompt\":" +
                                 JsonString(check.prompt) + ",\"text\":" + JsonString(shown) + "}");
        }
        const InstrumentResult result = instruments_.SendFrequency(serial, check.hertz);
        if (result.outcome != InstrumentOutcome::Done) return Refused(result);
        return Json(200, "{\"sent\":true,\"frequency\":" + std::to_string(check.hertz) +
                             ",\"text\":" + JsonString(HertzText(check.hertz)) + "}");
    }
    if (request.path == "/api/amplitude") {
        int index = -1;
        if (const std::string* millivolts = Member(*body, "millivolts")) {
            const AmplitudeChoice choice = AmplitudeIndexOf(*millivolts);
            if (choice.verdict == AmplitudeVerdict::Listed) index = choice.index;
        } else if (const std::string* given = Member(*body, "index")) {
            const auto digits = given->find_first_not_of("0123456789");
            if (!given->empty() && given->size() <= 3 && digits == std::string::npos) index = std::stoi(*given);
        }
        if (index < 0 || index >= VOUT_ENTRY_COUNT)
            return JsonError(422, std::string("not one of the values of \"") + Caption(ControlId::Label6) + "\"");
        const InstrumentResult result = instruments_.SendAmplitude(serial, index);
        if (result.outcome != InstrumentOutcome::Done) return Refused(result);
        return Json(200, "{\"sent\":true,\"amplitudeIndex\":" + std::to_string(index) +
                             ",\"amplitude\":" + JsonString(AmplitudeTexts()[static_cast<std::size_t>(index)]) + "}");
    }
    const InstrumentResult result = instruments_.RestoreDefaults(serial);
    if (result.outcome != InstrumentOutcome::Done) return Refused(result);
    return Json(200, "{\"sent\":true}");
}

std::string WebSite::FirstGenerator() {
    if (instruments_.Only()) return *instruments_.Only();
    const std::vector<std::string> catalog = instruments_.Catalog();
    return catalog.empty() ? std::string() : catalog.front();
}

std::string WebSite::StateJson(const std::string& requestedSerial) {
    const std::vector<std::string> catalog = instruments_.Catalog();
    const std::string serial = requestedSerial.empty() ? FirstGenerator() : requestedSerial;
    std::string out = "{\"generators\":[";
    for (std::size_t i = 0; i < catalog.size(); ++i) out += (i ? "," : "") + JsonString(catalog[i]);
    out += "],\"serial\":" + (serial.empty() ? std::string("null") : JsonString(serial));
    out += ",\"locked\":" + std::string(lock_.ExclusiveHolder() || lock_.Sharers() != 0 ? "true" : "false");
    const bool listed = std::find(catalog.begin(), catalog.end(), serial) != catalog.end();
    InstrumentIdentity identity;
    DeviceStatus status{};
    InstrumentResult result{InstrumentOutcome::Missing, "no generator is attached"};
    if (listed) {
        result = instruments_.Identity(serial, identity);
        if (result.outcome == InstrumentOutcome::Done) result = instruments_.ReadStatus(serial, status);
    }
    if (result.outcome != InstrumentOutcome::Done) {
        return out + ",\"attached\":" + (result.outcome == InstrumentOutcome::Missing ? "false" : "true") +
               ",\"error\":" + JsonString(result.detail) + "}";
    }
    out += ",\"attached\":true,\"manufacturer\":" + OptionalJson(identity.manufacturer) +
           ",\"model\":" + OptionalJson(identity.product) + ",\"version\":" + OptionalJson(identity.version);
    // The amplitude's text only for an index of the list, whatever the generators' side reported.
    const bool listedIndex = status.amplitudeIndex >= 0 && status.amplitudeIndex < VOUT_ENTRY_COUNT;
    const std::string amplitude =
        listedIndex ? AmplitudeTexts()[static_cast<std::size_t>(status.amplitudeIndex)] : std::string();
    out += ",\"frequency\":" + std::to_string(status.frequencyHz) +
           ",\"frequencyText\":" + JsonString(HertzText(status.frequencyHz)) +
           ",\"amplitudeIndex\":" + std::to_string(status.amplitudeIndex) +
           ",\"amplitude\":" + JsonString(amplitude) + "}";
    return out;
}

std::vector<std::string> WebSite::ResourceStrings(const std::string& host) const {
    std::vector<std::string> strings;
    for (const WebSiteSettings::Served& served : settings_.listening) {
        const std::string port = std::to_string(served.endpoint.port);
        std::string text;
        if (served.protocol == SCPI_RAW) {
            text = "TCPIP::" + host + "::" + port + "::SOCKET";
        } else if (served.protocol == VXI11) {
            text = "TCPIP::" + host + "::inst0::INSTR";
        } else if (served.protocol == HISLIP) {
            text = "TCPIP::" + host + "::hislip0" + (served.endpoint.port == HISLIP_PORT ? "" : "," + port) + "::INSTR";
        }
        if (!text.empty() && std::find(strings.begin(), strings.end(), text) == strings.end()) strings.push_back(text);
    }
    return strings;
}

std::string WebSite::WelcomePage(const net::Endpoint& local) {
    const std::string address = AddressText(local);
    std::string rows;
    for (const std::string& serial : instruments_.Catalog()) {
        InstrumentIdentity identity;
        instruments_.Identity(serial, identity);
        rows += "<tr><td>" + EscapeMarkup(identity.manufacturer.value_or("")) + "</td><td>" +
                EscapeMarkup(identity.product.value_or("")) + "</td><td>" + EscapeMarkup(serial) + "</td><td>" +
                EscapeMarkup(identity.version.value_or("")) + "</td></tr>\n";
    }
    if (rows.empty()) rows = "<tr><td colspan=\"4\">No generator is attached.</td></tr>\n";
    std::string resources;
    for (const std::string& text : ResourceStrings(address)) resources += "<li><code>" + EscapeMarkup(text) + "</code></li>\n";
    return PageHead(WINDOW_CAPTION) +
           "<h1>" + EscapeMarkup(WINDOW_CAPTION) + "</h1>\n"
           "<p><a href=\"/control\">Set the pulse output</a></p>\n"
           "<table>\n<caption>Generators</caption>\n"
           "<tr><th scope=\"col\">Manufacturer</th><th scope=\"col\">Model</th><th scope=\"col\">" +
           EscapeMarkup(Caption(ControlId::Label3)) + "</th><th scope=\"col\">Firmware version</th></tr>\n" + rows +
           "</table>\n"
           "<h2>Server</h2>\n<dl><dt>Host name</dt><dd>" + EscapeMarkup(settings_.hostName) +
           "</dd><dt>Address</dt><dd>" + EscapeMarkup(address) + "</dd></dl>\n"
           "<h2>VISA resource strings</h2>\n<ul>\n" + resources + "</ul>\n"
           "<p>Discoverable by LXI tools: <a href=\"/lxi/identification\">identification XML</a>.</p>\n"
           "</main>\n</body>\n</html>\n";
}

std::string WebSite::IdentificationXml(const HttpRequest& request, const net::Endpoint& local) {
    const std::string serial = FirstGenerator();
    InstrumentIdentity identity;
    if (!serial.empty()) instruments_.Identity(serial, identity);
    const std::string base = "http://" + std::string(*request.Header("host"));
    const std::string address = AddressText(local);
    const auto element = [](const char* name, std::string_view value) {
        return std::string("  <") + name + ">" + EscapeMarkup(value) + "</" + name + ">\n";
    };
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<LXIDevice xmlns=\"http://www.lxistandard.org/InstrumentIdentification/1.0\""
                      " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";
    xml += element("Manufacturer", identity.manufacturer.value_or(""));
    xml += element("Model", identity.product.value_or(""));
    xml += element("SerialNumber", serial);
    xml += element("FirmwareRevision", identity.version.value_or(""));
    xml += element("ManufacturerDescription", WINDOW_CAPTION);
    xml += element("HomepageURL", base + "/");
    xml += element("DriverURL", base + "/");
    xml += element("UserDescription", std::string(WINDOW_CAPTION) + " " + serial + " on " + settings_.hostName);
    xml += element("IdentificationURL", base + "/lxi/identification");
    xml += std::string("  <Interface xsi:type=\"NetworkInformation\" InterfaceType=\"LXI\" IPType=\"") +
           (local.v6 ? "IPv6" : "IPv4") + "\" InterfaceName=\"eth0\">\n";
    for (const std::string& text : ResourceStrings(address)) xml += "  " + element("InstrumentAddressString", text);
    xml += "  " + element("Hostname", settings_.hostName);
    xml += "  " + element("IPAddress", local.v6 ? address.substr(1, address.size() - 2) : address);
    xml += "  </Interface>\n";
    xml += element("LXIVersion", "1.5");
    xml += "</LXIDevice>\n";
    return xml;
}

std::string WebSite::ControlPage() {
    std::string options;
    const auto& texts = AmplitudeTexts();
    for (std::size_t i = 0; i < texts.size(); ++i)
        options += "<option value=\"" + std::to_string(i) + "\">" + EscapeMarkup(texts[i]) + "</option>";
    const std::string frequency = EscapeMarkup(Caption(ControlId::SetFout));
    const std::string amplitude = EscapeMarkup(Caption(ControlId::Label6));
    return PageHead(WINDOW_CAPTION) +
           "<h1>" + EscapeMarkup(WINDOW_CAPTION) + "</h1>\n"
           "<p id=\"status\" role=\"status\" aria-live=\"polite\">Reading the generator&hellip;</p>\n"
           "<fieldset><legend>" + EscapeMarkup(Caption(ControlId::Frame1)) + "</legend>\n"
           "<div class=\"row\" id=\"serial-row\" hidden><label for=\"serial\">" +
           EscapeMarkup(Caption(ControlId::Label3)) + "</label><select id=\"serial\"></select></div>\n"
           "<dl><dt id=\"product-label\">" + EscapeMarkup(Caption(ControlId::Label5)) +
           "</dt><dd id=\"product\" aria-labelledby=\"product-label\"></dd>"
           "<dt id=\"maker-label\">" + EscapeMarkup(Caption(ControlId::Label4)) +
           "</dt><dd id=\"maker\" aria-labelledby=\"maker-label\"></dd>"
           "<dt id=\"version-label\">" + EscapeMarkup(Caption(ControlId::Label2)) +
           "</dt><dd id=\"version\" aria-labelledby=\"version-label\"></dd>"
           "<dt>" + EscapeMarkup(Caption(ControlId::Label3)) + "</dt><dd id=\"serial-number\"></dd></dl>\n"
           "</fieldset>\n"
           "<fieldset><legend>" + EscapeMarkup(Caption(ControlId::Frame3)) + "</legend>\n"
           "<form id=\"frequency-form\" class=\"row\"><input id=\"frequency\" aria-labelledby=\"set-frequency\""
           " aria-describedby=\"frequency-message\" autocomplete=\"off\" inputmode=\"decimal\">"
           "<button id=\"set-frequency\" type=\"submit\">" + frequency + "</button></form>\n"
           "<p id=\"frequency-message\" role=\"alert\"></p>\n"
           "<div class=\"row\"><select id=\"amplitude\" aria-labelledby=\"amplitude-label\">" + options +
           "</select><label id=\"amplitude-label\" for=\"amplitude\">" + amplitude + "</label></div>\n"
           "</fieldset>\n"
           "<p><button id=\"restore\" type=\"button\">" + EscapeMarkup(Caption(ControlId::Factory)) + "</button></p>\n"
           "<p><a href=\"/\">Identity and VISA addresses</a></p>\n"
           "</main>\n<script src=\"/control.js\"></script>\n</body>\n</html>\n";
}

}  // namespace tarvo::scpi
