// The expiry a signed list may carry: one line "expires=YYYY-MM-DDTHH:MM:SSZ".
#pragma once
#include <cstdint>
#include <string>

enum class ListExpiry {
    kNone,        // no expires line
    kValid,       // every expires line lies after `now`
    kPassed,      // an expires line lies at or before `now`
    kUnreadable,  // an expires line that is not exactly one UTC time in that form
};

// Looks at every line of the list's bytes (CR LF or LF) that begins with "expires=";
// `now` and `expires` are seconds since 1970-01-01 00:00 UTC. `expires` receives the
// earliest readable time.
ListExpiry CheckListExpiry(const std::string& listBytes, int64_t now, int64_t& expires);

// "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970 UTC; false unless the text is exactly that
// and names a real time of the years 1970 to 9999.
bool ParseUtcTime(const std::string& text, int64_t& seconds);
