// The moment a new working day begins, as seen by a check that runs now and then.
#pragma once
#include <string>

// Daybreak has come when the day start lies after the previous pass and not after this
// one, or when the clock went back past it (midnight, or set back). All three texts are
// "%H:%M:%S" and compared as text, character code by character code; the first pass
// (previous empty) never is one.
bool IsDaybreak(const std::wstring& previous, const std::wstring& dayStart,
                const std::wstring& now);
