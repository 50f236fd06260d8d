// Lines of another protocol that reach an instrument port. A web page can make the browser on the bench PC send
// an HTTP request to a loopback port; its body's lines must never run as commands. Browsers always send the
// request line first, then these headers, so a session that meets one of them ends before any body line.
#pragma once

#include <string_view>

namespace tarvo::scpi {

// Whether a line (without its LF; one trailing CR is allowed) is an HTTP request line (a method token, a
// space, a target, a space, HTTP/ and a version) or a header line browsers send: Host, Origin, User-Agent,
// Content-Type, Content-Length, Connection, Upgrade or Sec-*, in any case, followed by a colon and then a blank
// or nothing, as browsers write them. No SCPI message has either shape: a SCPI header has no '-', and where
// one of those names is a keyword, the next keyword follows its colon at once (HOST:NAME?).
bool IsForeignProtocolLine(std::string_view line);

}  // namespace tarvo::scpi
