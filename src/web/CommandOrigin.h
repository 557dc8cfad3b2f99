#pragma once
// Whether a command comes from a page of this server or from no page at all.
// A browser sends the page's origin (or at least the page as referrer) with a
// request, and also one that another site's page makes it send; scripts and
// command-line clients send neither.
#include <optional>
#include <string>

// iHost: the request's Host header. The origin (or, without one, the
// referrer) must name the same host; its port must be the same when both
// name one (a browser leaves out the scheme's default port, a proxy in front
// may change the scheme). Neither header: true. An origin of "null" (a
// sandboxed page, a local file) names no host: false.
bool IsSameSiteRequest(const std::string& iHost, const std::optional<std::string>& iOrigin,
                       const std::optional<std::string>& iReferer);
