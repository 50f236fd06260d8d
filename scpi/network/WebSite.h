// The server's web pages and their JSON API: the welcome page (identity and VISA addresses), the
// identification XML that LXI discovery tools read, and the control page that sets the generators as the window
// does, with the window's captions, frequency check and amplitude list.
//
// Every request must name the server itself in its Host header (a page whose name was made to point at this
// address cannot read or change anything: DNS rebinding), and a request that changes a generator must come
// from the server's own pages: a JSON body, and no Origin or Sec-Fetch-Site of another site. No CORS header is
// ever sent, so a page of another origin cannot read an answer either.
#pragma once

#include "HttpMessage.h"
#include "Server.h"
#include "SocketShim.h"
#include "scpi/language/InstrumentLock.h"
#include "scpi/language/Instruments.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tarvo::scpi {

struct WebSiteSettings {
    // The machine's name ("bench7"), as the page shows it and as the Host header may name it (also
    // "bench7.local").
    std::string hostName;
    // What the server listens on, to tell the VISA resource strings and to know its own addresses.
    struct Served {
        std::string protocol;  // "scpi-raw", "hislip", "vxi11", "http"
        net::Endpoint endpoint;
    };
    std::vector<Served> listening;
};

class WebSite {
public:
    WebSite(Instruments& instruments, InstrumentLock& lock, WebSiteSettings settings);

    // What the server listens on, once its sockets are open.
    void Serving(const std::vector<Server::Listening>& sockets);
    // The web page's address on the first http socket ("http://127.0.0.1:8080/"; the host name for a socket on
    // every address); empty when none serves it.
    std::string PageUrl() const;

    // The answer to one request that came in on `local` (the address the client connected to).
    HttpResponse Answer(const HttpRequest& request, const net::Endpoint& local);

    // Whether `host` (a Host header's value) names this server reached on `local`: localhost, the host name,
    // the host name under .local, or an address the server listens on (IPv6 in brackets), each with or without
    // the port. Case does not matter.
    bool OwnHost(std::string_view host, const net::Endpoint& local) const;

private:
    HttpResponse Page(const HttpRequest& request, const net::Endpoint& local);
    HttpResponse Api(const HttpRequest& request);
    // Why a request that changes a generator is refused; empty when it may go on.
    std::string ForeignOrigin(const HttpRequest& request) const;

    std::string WelcomePage(const net::Endpoint& local);
    std::string IdentificationXml(const HttpRequest& request, const net::Endpoint& local);
    std::string ControlPage();
    std::string StateJson(const std::string& requestedSerial);
    // The VISA resource strings of every protocol served, for a client that reached the server at `host`.
    std::vector<std::string> ResourceStrings(const std::string& host) const;
    // The generator a page shows when it names none: the -s one, or the first of the catalog.
    std::string FirstGenerator();

    Instruments& instruments_;
    InstrumentLock& lock_;
    WebSiteSettings settings_;
};

// Text made safe inside HTML or XML content and attribute values.
std::string EscapeMarkup(std::string_view text);
// A JSON string literal, quotes included.
std::string JsonString(std::string_view text);

// A flat JSON object of string, number, true/false and null members, as the control page and scripts send
// them; nothing when the text is not one. Numbers are kept as written; nesting, arrays and objects over 32
// members are refused.
std::optional<std::vector<std::pair<std::string, std::string>>> ParseFlatJson(std::string_view text);

}  // namespace tarvo::scpi
