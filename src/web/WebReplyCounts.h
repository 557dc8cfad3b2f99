#pragma once
// Replies of the web server by status class (1xx … 5xx), for the whole run:
// a server that is stopped and started again goes on counting.
#include <array>
#include <cstdint>

void CountWebReply(int iStatus);
// Index 0 holds 1xx, 4 holds 5xx.
std::array<uint64_t, 5> WebReplyCounts();
