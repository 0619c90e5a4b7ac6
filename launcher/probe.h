#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quorvel::launcher {

// How the port answered: our server, nothing at all, or something else.
enum class Alive { yes, no, other };

// The raw answer of GET /api/ping on 127.0.0.1:port, read until end of stream, a 2-second
// silence or 4096 bytes; absent when nothing could be reached, empty when the request could
// not be written whole. Invalid UTF-8 in the answer becomes U+FFFD.
std::optional<std::string> ping(std::int64_t port);

Alive classify(const std::optional<std::string>& answer);
Alive serviceAlive(std::int64_t port);

// The whole number "pages" of the JSON body of an answer; absent if there is none.
std::optional<std::int64_t> pagesIn(const std::string& answer);
std::optional<std::int64_t> pagesConnected(std::int64_t port);

// POSTs body as JSON to http://127.0.0.1:port + path with a 5-second time-out; the HTTP
// status, or absent without an HTTP answer.
std::optional<long> post(std::int64_t port, const std::string& path,
                         const std::string& body = "{}");

}  // namespace quorvel::launcher
